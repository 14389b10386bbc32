#!/usr/bin/env python3
"""Runs quill_icount under callgrind and writes the instructions per call of each case as JSON.

Usage: icount.py QUILL_ICOUNT OUTPUT.json

quill_icount collects each case's calls alone between client requests and dumps them under the
case's name with its number of calls; the figure is the dump's instruction count (Ir) divided by
the calls. Instrumentation is off outside the cases, so filling the pools runs at valgrind's
uninstrumented speed.
"""

import glob
import json
import os
import re
import subprocess
import sys
import tempfile


def read_dump(path):
    name, calls, total = None, None, None
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"desc: Trigger: Client Request: (\S+) calls=(\d+)", line)
            if m:
                name, calls = m.group(1), int(m.group(2))
            m = re.match(r"totals: (\d+)", line)
            if m:
                total = int(m.group(1))
    return name, calls, total


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            [
                "valgrind", "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no",
                f"--callgrind-out-file={out}", sys.argv[1],
            ],
            check=True,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        counts = {}
        for path in glob.glob(out + "*"):
            name, calls, total = read_dump(path)
            if name is not None and calls and total is not None:
                counts[name] = total / calls
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        json.dump(counts, f, indent=1, sort_keys=True)


if __name__ == "__main__":
    main()
