#!/usr/bin/env python3
"""Runs each case of quill_bench in a process of its own and writes their results as one JSON.

Usage: run_cases.py QUILL_BENCH OUTPUT.json

A case run after others inherits their heap: the 1,000,000-key tables of the table cases leave
it spread over pages that a later case's pool and buffers then share, and a save or a load of
1,000,000 entries measured so ran up to a third slower than the same case alone while its
baseline, which touches little memory, did not move. In a fresh process each case measures
itself. The output has the context of the first run and the benchmarks of all, in the order of
quill_bench's own list.
"""

import json
import os
import re
import subprocess
import sys
import tempfile


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, output = sys.argv[1], sys.argv[2]
    names = subprocess.run(
        [program, "--benchmark_list_tests"], check=True, capture_output=True, text=True
    ).stdout.split()
    merged = None
    with tempfile.TemporaryDirectory() as tmp:
        for index, name in enumerate(names):
            out = os.path.join(tmp, f"{index}.json")
            subprocess.run(
                [
                    program,
                    f"--benchmark_filter=^{re.escape(name)}$",
                    f"--benchmark_out={out}",
                    "--benchmark_out_format=json",
                ],
                check=True,
            )
            with open(out, encoding="utf-8") as f:
                data = json.load(f)
            if merged is None:
                merged = data
            else:
                merged["benchmarks"].extend(data["benchmarks"])
    if merged is None:
        sys.exit(f"{program} lists no case")
    with open(output, "w", encoding="utf-8") as f:
        json.dump(merged, f, indent=1)


if __name__ == "__main__":
    main()
