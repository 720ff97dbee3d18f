#!/usr/bin/env python3
"""End-to-end runner: runs the built Kunpack on the cases of one or more case
files and compares standard output byte for byte, standard error and the exit
status. Prints a readable diff for every failing case.

usage: run_e2e.py KUNPACK_BINARY CASE_FILE... [-k SUBSTRING]

Case file format (one file per area, cases separated by "case:" lines):

    # comment
    case: default tab delimiter
    args: ["tags"]                      JSON array; "\\udcff" stands for the byte 0xff
    env: {"LC_ALL": "C"}                JSON object, merged over the default
                                        environment (LC_ALL=C.UTF-8); null unsets
    stdin:                              block of lines, each "| text" or "|";
    | id:7                              escapes: \\t \\n \\r \\0 \\\\ \\xHH (a raw byte);
    | tags:red\\tgreen                  a final "\\c" drops the line's newline
    file data.k:                        an input file in the case's folder
    | a:1
    file one.k: a:1\\n\\nb:2\\n           a whole file in one line of escaped bytes
    stdout:                             expected standard output
    | id:7
    stdout-raw: a\\x00\\n\\x00            one line of escaped bytes, no newline added
    stdin-gen: b"a:" + b"x" * 9 + b"\\n"   a Python expression giving the bytes, for
                                        inputs of several megabytes (also stdout-gen,
                                        and args-gen for a list of str); range works
    stderr:                             expected standard error (exact)
    | Kunpack: field-format-list is missing.
    status: 2
    memory-limit: 60000                 address space of the run in KB (as ulimit -v);
                                        such a case is skipped for a binary built
                                        with AddressSanitizer, which reserves terabytes
    run: [["tags"], "tags:a\\tb\\n", "tags:a\\ntags:b\\n", "", 0]
                                        the whole case in one line: args, stdin,
                                        stdout, then optionally stderr and status;
                                        JSON strings, "\\udcHH" for the byte 0xHH

Omitted stdout/stderr mean "must be empty"; omitted status means 0. The program
is started with argv[0] "Kunpack", in a fresh temporary folder holding the files.
"""
import difflib
import json
import os
import resource
import re
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


def block_line(line: bytes) -> bytes:
    body = line[2:] if line.startswith(b"| ") else line[1:]
    if body.endswith(b"\\c") and not body.endswith(b"\\\\c"):
        return unescape(body[:-2])
    return unescape(body) + b"\n"


def parse_cases(path):
    cases, case, block = [], None, None
    with open(path, "rb") as f:
        for number, raw in enumerate(f.read().split(b"\n"), 1):
            line = raw.rstrip(b"\r")
            if block is not None and line.startswith(b"|"):
                case[block] += block_line(line)
                continue
            block = None
            if not line.strip() or line.startswith(b"#"):
                continue
            key, _, value = line.decode("utf-8").partition(":")
            key, value = key.strip(), value.strip()
            if key == "case":
                case = {"name": value, "line": number, "args": [], "env": {},
                        "files": {}, "stdin": b"", "stdout": b"", "stderr": b"", "status": 0}
                cases.append(case)
            elif case is None:
                raise ValueError(f"{path}:{number}: text before the first case")
            elif key == "args":
                case["args"] = json.loads(value)
            elif key == "env":
                case["env"] = json.loads(value)
            elif key == "status":
                case["status"] = int(value)
            elif key == "memory-limit":
                case["memory_limit"] = int(value) * 1024
            elif key in ("stdin", "stdout", "stderr") and not value:
                block = key
            elif key in ("stdin-gen", "stdout-gen", "args-gen"):
                case[key[:-4]] = eval(value, {"__builtins__": {}, "range": range}, {})
            elif key in ("stdin-raw", "stdout-raw", "stderr-raw"):
                case[key[:-4]] = unescape(line.partition(b":")[2].lstrip(b" "))
            elif key == "run":
                given = json.loads(value)
                case["args"] = given[0]
                for name, text in zip(("stdin", "stdout", "stderr"), given[1:4]):
                    case[name] = text.encode("utf-8", "surrogateescape")
                if len(given) > 4:
                    case["status"] = given[4]
            elif key.startswith("file "):
                name = key[5:].strip()
                block = "file:" + name
                case[block] = b""
                case["files"][name] = block
                if value:  # the whole file on this line, escaped as in stdin-raw
                    case[block] = unescape(line.partition(b":")[2].lstrip(b" "))
                    block = None
            else:
                raise ValueError(f"{path}:{number}: cannot read '{line.decode()}'")
    return cases


def show(data: bytes):
    return [repr(line)[2:-1] for line in data.split(b"\n")]


def limit_memory(limit):
    if limit is None:
        return None
    return lambda: resource.setrlimit(resource.RLIMIT_AS, (limit, limit))


def run_case(binary, case):
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "LC_ALL": "C.UTF-8"}
    for k in ("ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if k in os.environ:
            env[k] = os.environ[k]
    for k, v in case["env"].items():
        if v is None:
            env.pop(k, None)
        else:
            env[k] = v
    args = [os.fsencode(a) for a in case["args"]]
    with tempfile.TemporaryDirectory() as folder:
        for name, block in case["files"].items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(case[block])
        try:
            p = subprocess.run([b"Kunpack"] + args, executable=binary, input=case["stdin"],
                               capture_output=True, env=env, cwd=folder, timeout=60,
                               preexec_fn=limit_memory(case.get("memory_limit")))
        except subprocess.TimeoutExpired:
            return ["timed out after 60 s"]
    problems = []
    for what in ("stdout", "stderr"):
        got, want = getattr(p, what), case[what]
        if got != want:
            diff = difflib.unified_diff(show(want), show(got), "expected " + what,
                                        "actual " + what, lineterm="")
            problems.append("\n".join(diff))
    if p.returncode != case["status"]:
        problems.append(f"exit status {p.returncode}, expected {case['status']}")
    return problems


def main():
    argv = sys.argv[1:]
    only = None
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
