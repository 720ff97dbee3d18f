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

FENCE = re.compile(r"^```(.*)$")


def blocks(text):
    """Yields (info string, line number, lines) for every fenced block."""
    info, start, body = None, 0, []
    for number, line in enumerate(text.split("\n"), 1):
        match = FENCE.match(line)
        if info is None and match:
            info, start, body = match.group(1).strip(), number, []
        elif info is not None and line == "```":
            yield info, start, body
            info = None
        elif info is not None:
            body.append(line)


def commands(lines):
    """Yields (command, expected output) for the "$ " lines of a console block."""
    command, output, index = None, [], 0
    while index < len(lines):
        line = lines[index]
        index += 1
        if line.startswith("$ "):
            if command is not None:
                yield command, "".join(output)
            command, output = line[2:], []
            while command.endswith("\\") and index < len(lines):
                command += "\n" + lines[index]
                index += 1
        elif command is not None:
            output.append(line + "\n")
    if command is not None:
        yield command, "".join(output)


def main():
    binary, readme = os.path.abspath(sys.argv[1]), sys.argv[2]
    with open(readme, encoding="utf-8") as f:
        text = f.read()
    failures, count = 0, 0
    with tempfile.TemporaryDirectory() as work:
        bin_dir = os.path.join(work, ".bin")
        os.mkdir(bin_dir)
        os.symlink(binary, os.path.join(bin_dir, "Kunpack"))
        # A home and a shell of our own: parallel warns on stderr without a
        # HOME and fails without a SHELL, as under some CI runners.
        env = dict(os.environ, LC_ALL="C.UTF-8", HOME=work, SHELL="/bin/bash",
                   PATH=bin_dir + os.pathsep + os.environ["PATH"])
        found = list(blocks(text))
        for info, line, body in found:
            if info.startswith("k "):
                with open(os.path.join(work, info[2:].strip()), "w", encoding="utf-8") as f:
                    f.write("\n".join(body) + "\n")
        for info, line, body in found:
            if info != "console":
                continue
            for command, expected in commands(body):
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
