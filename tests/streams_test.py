#!/usr/bin/env python3
"""Output that cannot be written and input that cannot be read: the cases the
case files cannot express, each a bash command.

usage: streams_test.py KUNPACK_BINARY

Every command runs in a fresh folder holding in.k (one record) and big.k
(4 MB of records). `K` runs the program as "Kunpack"; `unread`, given big.k as
standard input after the program, tells whether the program stopped early
(most of the file left) or read on. The full filesystem needs root to mount a
64 KB tmpfs; elsewhere it is skipped with a message.
"""
import os
import subprocess
import sys
import tempfile

PRELUDE = r'''
K() { (exec -a Kunpack "$KUNPACK" "$@"); }
unread() { [ "$(wc -c)" -gt 3000000 ] && echo unread || echo "read on"; }
'''
ENOSPC = "Kunpack: write error on standard output: No space left on device\n"
EBADF = "Kunpack: write error on standard output: Bad file descriptor\n"
EPIPE = "Kunpack: write error on standard output: Broken pipe\n"

# name, command, expected stdout, expected stderr
CASES = [
    ("full device", "{ K a >/dev/full; echo $?; unread; } <big.k", "3\nunread\n", ENOSPC),
    ("closed", "K a in.k >&-; echo $?", "3\n", EBADF),
    ("read-only", "K a in.k 1<in.k; echo $?", "3\n", EBADF),
    ("closed, nothing to write", "K a </dev/null >&-; echo $?", "0\n", ""),
    ("fatal, then the output fails", "K a in.k nope.k >/dev/full; echo $?", "3\n",
     "Kunpack: can't open nope.k.\n" + ENOSPC),
    ("--version", "K --version >/dev/full; echo $?", "3\n", ENOSPC),
    ("--help", "K --help >&-; echo $?", "3\n", EBADF),
    ("reader gone", "{ K a | head -1; echo ${PIPESTATUS[0]}; unread; } <big.k",
     "a:x\n141\nunread\n", ""),
    ("reader gone, SIGPIPE ignored",
     "trap '' PIPE; { K a | head -1; echo ${PIPESTATUS[0]}; unread; } <big.k",
     "a:x\n3\nunread\n", EPIPE),
    # One endless record: it is written in pieces, so the first failed write ends the run.
    ("one endless record, SIGPIPE ignored",
     "trap '' PIPE; { K a | head -1; echo ${PIPESTATUS[0]}; unread; }"
     " < <(yes a:x 2>/dev/null | head -c 50000000)", "a:x\n3\nunread\n", EPIPE),
    ("failing device", "K a /proc/self/mem in.k; echo $?", "a:x\n\n1\n",
     "Kunpack: read error in K-file /proc/self/mem: Input/output error.\n"),
    ("full filesystem", "K a big.k >full/out; echo $?; wc -c <full/out", "3\n65536\n", ENOSPC),
]


def mount_full(folder):
    """Mounts a 64 KB tmpfs at folder/full; False where that is not allowed."""
    os.mkdir(os.path.join(folder, "full"))
    if os.geteuid() != 0:
        return False
    result = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", "full"],
                            cwd=folder, capture_output=True)
    return result.returncode == 0


def main():
    env = dict(os.environ, LC_ALL="C.UTF-8", KUNPACK=os.path.abspath(sys.argv[1]))
    failures = 0
    for name, command, stdout, stderr in CASES:
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "in.k"), "wb") as f:
                f.write(b"a:x\n")
            with open(os.path.join(folder, "big.k"), "wb") as f:
                f.write(b"a:x\n\n" * 800_000)
            mounted = name == "full filesystem" and mount_full(folder)
            if name == "full filesystem" and not mounted:
                print(f"skipped: {name} (mounting a 64 KB tmpfs needs root)")
                continue
            try:
                run = subprocess.run(["bash", "-c", PRELUDE + command], cwd=folder, env=env,
                                     capture_output=True, text=True, timeout=120)
            finally:
                if mounted:
                    subprocess.run(["umount", os.path.join(folder, "full")], check=True)
        if (run.stdout, run.stderr) != (stdout, stderr):
            failures += 1
            print(f"FAIL {name}: {command}\n  stdout {run.stdout!r}, expected {stdout!r}\n"
                  f"  stderr {run.stderr!r}, expected {stderr!r}")
        else:
            print(f"ok   {name}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
