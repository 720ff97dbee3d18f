#!/usr/bin/env python3
"""gen_kfile.py MEGABYTES -- writes about that many MB of K-file records to
standard output, the same bytes on every run, made to trip up anything that
cuts the input at record boundaries: carriage returns (also on lines of their
own), NUL bytes (also on lines of their own), lines of hundreds of KB, runs of
up to 40 empty lines, UTF-8 text, and a last record without a final newline.
Fields: id, tags (tab-separated), num (';'-separated numbers), note.
"""
import random
import sys

WORDS = ["net", "http", "json", "café", "漢字", "x", "", "long-tag-name", "a\rb", "n\0ul"]


def record(rng, number):
    tags = "\t".join(rng.choice(WORDS) for _ in range(rng.randint(0, 12)))
    nums = ";".join(str(rng.randint(-999, 99999)) for _ in range(rng.randint(0, 6)))
    lines = [f"id:{number}", f"tags:{tags}", f"num:{nums}"]
    kind = rng.randrange(2000)
    if kind == 0:  # a long line: a few hundred KB of tags
        lines.append("tags:" + "\t".join(["w" * rng.randint(1, 9)] * rng.randint(20000, 60000)))
    elif kind < 500:  # a line of one CR is not empty; a lone NUL is dropped, ending the record
        lines.append("\r" if kind < 200 else "note:a\0b\r" if kind < 400 else "\0")
    lines.append("note:" + rng.choice(["plain", "with:colon", "ends in CR\r", "😀"]))
    return "\n".join(lines) + "\n" + "\n" * (1 if rng.randrange(8) else rng.randint(2, 40))


def main():
    size, rng, out = int(float(sys.argv[1]) * 1_000_000), random.Random(13), sys.stdout.buffer
    out.write(b"\n\n\n")  # empty lines before the first record
    written, number = 0, 0
    while written < size:
        number += 1
        text = record(rng, number).encode("utf-8")
        out.write(text)
        written += len(text)
    out.write(b"id:last\ntags:no\tfinal\tnewline")


if __name__ == "__main__":
    main()
