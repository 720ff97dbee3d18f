#!/usr/bin/env python3
"""Output that cannot be written and input that cannot be read: bash commands
run in a folder holding in.k (one record) and big.k (4 MB of records). `K`
runs the program as "Kunpack"; `unread`, given big.k after it, tells whether
it stopped early. The full filesystem needs root to mount a 64 KB tmpfs.

usage: streams_test.py KUNPACK_BINARY
"""
import os
import subprocess
import sys
import tempfile

PRELUDE = r'''
K() { (exec -a Kunpack "$KUNPACK" "$@"); }
unread() { [ "$(wc -c)" -gt 3000000 ] && echo unread || echo "read on"; }
'''
ENOSPC, EBADF, EPIPE = (f"Kunpack: write error on standard output: {error}\n" for error in
                        ("No space left on device", "Bad file descriptor", "Broken pipe"))
HEAD = "{ K a | head -1; echo ${PIPESTATUS[0]}; unread; } <"

CASES = [  # name, command, expected stdout, expected stderr
    ("full device", "{ K a >/dev/full; echo $?; unread; } <big.k", "3\nunread\n", ENOSPC),
    ("closed", "K a in.k >&-; echo $?", "3\n", EBADF),
    ("read-only", "K a in.k 1<in.k; echo $?", "3\n", EBADF),
    ("closed, nothing to write", "K a </dev/null >&-; echo $?", "0\n", ""),
    ("fatal, then the output fails", "K a in.k nope.k >/dev/full; echo $?", "3\n",
     "Kunpack: can't open nope.k.\n" + ENOSPC),
    ("--version", "K --version >/dev/full; echo $?", "3\n", ENOSPC),
    ("--help", "K --help >&-; echo $?", "3\n", EBADF),
    ("reader gone", HEAD + "big.k", "a:x\n141\nunread\n", ""),
    ("reader gone, SIGPIPE ignored", "trap '' PIPE; " + HEAD + "big.k", "a:x\n3\nunread\n", EPIPE),
    # One endless record: it is written in pieces, so the first failed write ends the run.
    ("one endless record, SIGPIPE ignored",
     "trap '' PIPE; " + HEAD + " <(yes a:x 2>/dev/null | head -c 50000000)", "a:x\n3\nunread\n", EPIPE),
    ("failing device", "K a /proc/self/mem in.k; echo $?", "a:x\n\n1\n",
     "Kunpack: read error in K-file /proc/self/mem: Input/output error.\n"),
    ("full filesystem", "K a big.k >full/out; echo $?; wc -c <full/out", "3\n65536\n", ENOSPC),
]


def main():
    env = dict(os.environ, LC_ALL="C.UTF-8", KUNPACK=os.path.abspath(sys.argv[1]))
    failures = 0
    with tempfile.TemporaryDirectory() as folder:
        for name, data in (("in.k", b"a:x\n"), ("big.k", b"a:x\n\n" * 800_000)):
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        os.mkdir(os.path.join(folder, "full"))
        mounted = os.geteuid() == 0 and subprocess.run(
            ["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", "full"], cwd=folder,
            capture_output=True).returncode == 0
        try:
            for name, command, stdout, stderr in CASES:
                if name == "full filesystem" and not mounted:
                    print(f"skipped: {name} (mounting a 64 KB tmpfs needs root)")
                    continue
                run = subprocess.run(["bash", "-c", PRELUDE + command], cwd=folder, env=env,
                                     capture_output=True, text=True, timeout=120)
                failures += (run.stdout, run.stderr) != (stdout, stderr)
                print(f"ok   {name}" if (run.stdout, run.stderr) == (stdout, stderr) else
                      f"FAIL {name}: {command}\n  stdout {run.stdout!r}, expected {stdout!r}\n"
                      f"  stderr {run.stderr!r}, expected {stderr!r}")
        finally:
            if mounted:
                subprocess.run(["umount", os.path.join(folder, "full")], check=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
