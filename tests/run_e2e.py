#!/usr/bin/env python3
"""End-to-end runner: runs the built Kunpack on the cases of one or more case
files and compares standard output byte for byte, standard error and the exit
status. Prints a readable diff for every failing case.

usage: run_e2e.py KUNPACK_BINARY CASE_FILE... [-k SUBSTRING]

A case starts with a "case:" line; "#" lines are comments. Its lines:

    case: NAME run: [ARGS, STDIN, STDOUT, STDERR, STATUS]
                            the whole case on one line: JSON, STDERR and STATUS
                            may be left out; "\\udcHH" in a string is the byte 0xHH
    run: [...]              the same on a line of its own
    args: ["-t", ";", "a"]  the arguments alone, a JSON array
    env: {"LC_ALL": "C"}    merged over the default environment (LC_ALL=C.UTF-8);
                            null unsets
    file one.k: a:1\\n\\xff  an input file in the case's folder, escaped bytes
                            (\\t \\n \\r \\0 \\\\ \\xHH)
    stdin-gen: b"a:" + b"x" * 9 + b"\\n"
                            a Python expression giving the bytes (range works);
                            also stdout-gen and args-gen (a list of str)
    memory-limit: 60000     address space of the run in KB (as ulimit -v); such a
                            case is skipped for a binary built with AddressSanitizer

Later lines override earlier ones. The program is started with argv[0]
"Kunpack", in a fresh temporary folder holding the files.
"""
import difflib
import json
import os
import re
import resource
import subprocess
import sys
import tempfile

ESCAPE = re.compile(rb"\\(x[0-9A-Fa-f]{2}|.)")
SIMPLE = {b"t": b"\t", b"n": b"\n", b"r": b"\r", b"0": b"\0", b"\\": b"\\"}


def unescape(text: bytes) -> bytes:
    def one(m):
        e = m.group(1)
        if e[:1] == b"x" and len(e) == 3:
            return bytes([int(e[1:], 16)])
        if e in SIMPLE:
            return SIMPLE[e]
        raise ValueError(f"unknown escape \\{e.decode()}")
    return ESCAPE.sub(one, text)


def parse_cases(path):
    cases, case = [], None
    with open(path, "rb") as f:
        for number, raw in enumerate(f.read().split(b"\n"), 1):
            line = raw.rstrip(b"\r")
            if not line.strip() or line.startswith(b"#"):
                continue
            key, _, value = line.decode("utf-8").partition(":")
            key, value = key.strip(), value.strip()
            if key == "case":
                value, _, run = value.partition(" run: ")
                case = {"name": value, "line": number, "args": [], "env": {}, "files": {},
                        "stdin": b"", "stdout": b"", "stderr": b"", "status": 0}
                cases.append(case)
                key, value = ("run", run) if run else ("", "")
                if not run:
                    continue
            elif case is None:
                raise ValueError(f"{path}:{number}: text before the first case")
            if key == "run":
                given = json.loads(value)
                case["args"] = given[0]
                for name, text in zip(("stdin", "stdout", "stderr"), given[1:4]):
                    case[name] = text.encode("utf-8", "surrogateescape")
                case["status"] = given[4] if len(given) > 4 else 0
            elif key in ("args", "env"):
                case[key] = json.loads(value)
            elif key == "memory-limit":
                case["memory_limit"] = int(value) * 1024
            elif key in ("stdin-gen", "stdout-gen", "args-gen"):
                case[key[:-4]] = eval(value, {"__builtins__": {}, "range": range}, {})
            elif key.startswith("file "):
                case["files"][key[5:].strip()] = unescape(line.partition(b":")[2].lstrip(b" "))
            else:
                raise ValueError(f"{path}:{number}: cannot read '{line.decode()}'")
    return cases


def run_case(binary, case):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8"}
    env.update({k: os.environ[k] for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS") if k in os.environ})
    env.update(case["env"])
    env = {k: v for k, v in env.items() if v is not None}
    limit = case.get("memory_limit")
    with tempfile.TemporaryDirectory() as folder:
        for name, data in case["files"].items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        try:
            p = subprocess.run([b"Kunpack"] + [os.fsencode(a) for a in case["args"]],
                               executable=binary, input=case["stdin"], capture_output=True,
                               env=env, cwd=folder, timeout=60, preexec_fn=limit and (
                                   lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))))
        except subprocess.TimeoutExpired:
            return ["timed out after 60 s"]
    problems = []
    for what in ("stdout", "stderr"):
        got, want = getattr(p, what), case[what]
        if got != want:
            show = lambda data: [repr(line)[2:-1] for line in data.split(b"\n")]  # noqa: E731
            problems.append("\n".join(difflib.unified_diff(
                show(want), show(got), "expected " + what, "actual " + what, lineterm="")))
    if p.returncode != case["status"]:
        problems.append(f"exit status {p.returncode}, expected {case['status']}")
    return problems


def main():
    argv, only = sys.argv[1:], None
    if "-k" in argv:
        i = argv.index("-k")
        only = argv[i + 1]
        del argv[i:i + 2]
    if len(argv) < 2:
        sys.exit(__doc__)
    binary = os.path.abspath(argv[0])
    with open(binary, "rb") as f:
        sanitized = b"__asan_init" in f.read()
    passed = failed = 0
    for path in argv[1:]:
        for case in parse_cases(path):
            if only and only not in case["name"]:
                continue
            if sanitized and "memory_limit" in case:
                print(f"SKIP {case['name']}: AddressSanitizer needs more address space")
                continue
            problems = run_case(binary, case)
            if problems:
                failed += 1
                print(f"FAIL {os.path.basename(path)}:{case['line']}: {case['name']}")
                for problem in problems:
                    print("    " + problem.replace("\n", "\n    "))
            else:
                passed += 1
    print(f"{passed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
