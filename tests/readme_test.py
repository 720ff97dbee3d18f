#!/usr/bin/env python3
"""README runner: every example of README.md runs, so the guide cannot drift
from the program.

usage: readme_test.py KUNPACK_BINARY README

A fenced block whose info string is "k NAME" is the content of the file NAME.
A fenced block marked "console" holds commands, each a line "$ command" (a
final backslash continues it, as in bash) followed by its exact standard
output. All files are written to one scratch folder and every command runs
there under bash with pipefail, "Kunpack" on the PATH and LC_ALL=C.UTF-8. A
command must exit 0 and write nothing to standard error (a recipe that shows
a message redirects it itself).
"""
import os
import re
import subprocess
import sys
import tempfile

BLOCK = re.compile(r"^```([^\n]+)\n(.*?)^```$", re.M | re.S)
COMMAND = re.compile(r"^\$ ((?:.*\\\n)*.*)\n((?:(?!\$ ).*\n)*)", re.M)


def main():
    binary, readme = os.path.abspath(sys.argv[1]), sys.argv[2]
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    failures, count = 0, 0
    with tempfile.TemporaryDirectory() as work:
        os.mkdir(os.path.join(work, ".bin"))
        os.symlink(binary, os.path.join(work, ".bin", "Kunpack"))
        # A home and a shell of our own: parallel warns on stderr without a
        # HOME and fails without a SHELL, as under some CI runners.
        env = dict(os.environ, LC_ALL="C.UTF-8", HOME=work, SHELL="/bin/bash",
                   PATH=os.path.join(work, ".bin") + os.pathsep + os.environ["PATH"])
        blocks = [(m.group(1).strip(), text.count("\n", 0, m.start()) + 1, m.group(2))
                  for m in BLOCK.finditer(text)]
        for info, line, body in blocks:
            if info.startswith("k "):
                with open(os.path.join(work, info[2:].strip()), "w", encoding="utf-8") as f:
                    f.write(body)
        for info, line, body in blocks:
            for command, expected in COMMAND.findall(body) if info == "console" else []:
                count += 1
                run = subprocess.run(["bash", "-o", "pipefail", "-c", command], cwd=work, env=env,
                                     capture_output=True, timeout=120)
                got = run.stdout.decode("utf-8", "replace")
                if run.returncode != 0 or run.stderr or got != expected:
                    failures += 1
                    print(f"README.md:{line}: $ {command}\n  status {run.returncode}"
                          f"\n  stderr: {run.stderr.decode('utf-8', 'replace')!r}"
                          f"\n  expected: {expected!r}\n  got:      {got!r}")
    print(f"{count} README commands, {failures} failed")
    return 1 if failures or count == 0 else 0


if __name__ == "__main__":
    sys.exit(main())
