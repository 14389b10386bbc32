#!/usr/bin/env python3
"""Turns the JSON output of quill_bench into BENCHMARKS.md.

Usage: report.py RESULTS.json ICOUNT.json OUTPUT.md

Every time comes from the one run in RESULTS.json (bench/run_cases.py runs each case in a process
of its own): each case timed its sides in turns, and the ratios below divide figures of the same
case. Repeated cases contribute their median. ICOUNT.json
holds the instructions per call that bench/icount.py counted under callgrind.
"""

import json
import subprocess
import sys

TABLE_OPS = [
    ("insert", "insert (value set)"),
    ("lookup_ordered", "lookup, present keys, insertion order"),
    ("lookup_random", "lookup, present keys, random order"),
    ("lookup_absent", "lookup, absent keys"),
    ("erase", "erase, random order"),
]
KINDS = [("numbered", '"key"+number'), ("random", "random 8-24 bytes")]
SIZES = [1000, 100000, 1000000]

# Instructions per call of the same cases before the table kept an index of positions (counted by
# bench/icount.py on 2026-12-09): a position read now costs at most a quarter of the first, and a
# position read in order no more than the last.
BEFORE_INDEX = {
    "cycle3/getindex": 532.0,
    "large/getindex": 3639797.0,
    "sparse/getindex": 3665868.0,
    "in_order/getindex": 37.9,
}

# Instructions per entry of CPoolFile::Write into a file that drops the bytes before it copied
# each text while testing it (counted by callgrind on 2026-12-09): a save's formatting now costs at
# most three quarters of that.
BEFORE_COPY_TEST = 230.9

HANDLERS = [
    ("hget_key", "`HGet` by key", "floor"),
    ("hget_pos", "`HGet` by position, in order", "floor"),
    ("hget_pos_random", "`HGet` by position, at random", "floor"),
    ("hkey", "`HKey`, in order", "floor"),
    ("hkey_random", "`HKey`, at random", "floor"),
    ("hhas", "`HHas`", "floor"),
    ("hcount", "`HCount`", "floor"),
    ("hadd", "`HAdd` of an integer", "floor3"),
    ("hinc", "`HInc`", "floor"),
    ("hdel", "`HDel`", "floor"),
]

# What to say when a target is missed: why, and what would close the gap. Keyed by target id, or by
# the id's leading words for a family of targets.
MISS_NOTES = {
    "positions_hget": (
        "The figure divides two times of the same loop through the stand-in VM, one calling "
        "`HGet` and one a native that does nothing; the rest of the gap is the handler and "
        "`GetIndex`, whose instruction counts are targets of their own."
    ),
    "icount": (
        "An instruction count does not vary with the machine's load; see the instruction counts "
        "below for where the calls spend them."
    ),
    "positions_getindex": (
        "`GetIndex` is one call and one step of the table's cursor per position. The cursor asks "
        "for a chain's values and the next chain's block when it enters a chain, while one plain "
        "iteration asks further ahead; asking two or more chains ahead in `CHashTable::Seek` "
        "would close it."
    ),
    "table_insert": (
        "An insert pays for the growths on the way: every growth counts the entries per new "
        "bucket, lays the new blocks out and moves every entry, where the reference only relinks "
        "its nodes. Chains of keys that share their whole hash keep their blocks, turned around; "
        "fewer bytes per entry, or growing into blocks made with room to spare, would close it."
    ),
    "table": (
        "The figure varies from run to run on this shared machine; rerun `make bench` when the "
        "machine is quiet."
    ),
    "load": (
        "A load inserts every record through the table's lookup and grows the table about twenty "
        "times on the way to 1,572,869 buckets. In a process of its own the reference's node "
        "inserts run in a fresh heap; run after the table cases (as every case was until "
        "`bench/run_cases.py`), they ran a third slower and the ratio was 0.38x. Fewer growths "
        "are not allowed (the order depends on them); a cheaper growth (see the insert figures) "
        "would close it."
    ),
    "walk_keys": (
        "In a process of its own the values alone are read from pages laid out in order, at "
        "3 ns a position, so the key's bytes, read from the chain's block, weigh more than they "
        "did after the table cases (9.4 against 8.2 ns, 1.15x, until `bench/run_cases.py`). "
        "Reading the next chain's key bytes ahead with its values would close it."
    ),
    "save": (
        "The save does what the protocol by hand does and formats 1,000,000 records besides "
        "(see save/write under the instruction counts): about 9 ms of CPU time on a quiet "
        "core, against a by-hand save of 25 to 45 ms, most of it waiting on `fsync`. Waiting "
        "does not stretch when other work takes the CPUs, and formatting does: on a machine "
        "whose two CPUs run many builds the gap grows with the load, and the runs' spread shows it."
    ),
    "save_busy": (
        "With every CPU shared the sides stretch by their CPU time alone: the by-hand save's "
        "is its one copy of the file's bytes into the page cache, quill's the same copy plus "
        "formatting 1,000,000 records (about 9 ms on a core of its own, half of it the walk "
        "over the table), while the waits on `fsync` and on the freed blocks of the file "
        "replaced do not stretch. The formatting runs in the caller's thread, as the whole save "
        "does, so its share of a busy CPU decides the gap; the runs' spread shows how much."
    ),
    "redis": (
        "The store's figure is the server's work, which both sides share, and the module's own: "
        "building the table from the reply's fields as they arrive on a load, formatting the "
        "commands on a save. On this shared machine the server and the module wait for each "
        "other's turn on the CPUs, so the gap grows with the load; the runs' spread shows it."
    ),
    "redis_load": (
        "hiredis alone parses the reply and stops; the store then builds the pool's table from "
        "the 1,000,000 fields through the pool file reader, as a file load does (its own figure "
        "above), which is most of the gap. Feeding the fields to the table as the reply arrives, "
        "while the server still sends, would close it."
    ),
    "memory": (
        "Each entry holds its value (16 bytes inline), an 8-byte slot and its key bytes, plus a "
        "block header per chain and 8 bytes per bucket; a smaller value object would close it."
    ),
}


def load_runs(path):
    """The median of each case (or its one run), and the least and greatest figures of the cases
    that compute them, keyed by case and by (case, "min" or "max")."""
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    runs = {}
    for bench in data["benchmarks"]:
        if bench.get("error_occurred"):
            continue
        name = "/".join(
            part
            for part in bench["run_name"].split("/")
            if ":" not in part and part not in ("manual_time", "real_time")
        )
        aggregate = bench.get("aggregate_name") if bench.get("run_type") == "aggregate" else None
        if aggregate in ("min", "max"):
            runs[(name, aggregate)] = bench
        elif aggregate in (None, "median"):
            runs[name] = bench
    return data["context"], runs


def machine():
    model, cpus = "unknown", "?"
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
        for line in out.splitlines():
            key, _, value = line.partition(":")
            if key.strip() == "Model name":
                model = value.strip()
            elif key.strip() == "CPU(s)":
                cpus = value.strip()
    except (OSError, subprocess.CalledProcessError):
        pass
    return model, cpus


def fmt(value, digits=1):
    if value is None:
        return "n/a"
    if abs(value) >= 100:
        return f"{value:,.0f}"
    return f"{value:.{digits}f}"


def ratio(a, b):
    if a is None or b is None or b == 0:
        return None
    return a / b


def fmt_ratio(value):
    return "n/a" if value is None else f"{value:.2f}"


class Report:
    def __init__(self, runs):
        self.runs = runs
        self.lines = []
        self.targets = []  # (id, description, measured text, limit text, met)

    def get(self, case, side):
        bench = self.runs.get(case)
        if bench is None:
            return None
        return bench.get(side)

    def add(self, *lines):
        self.lines.extend(lines)

    def target(self, tid, text, value, limit, unit="x", slack=0.0):
        met = value is not None and limit is not None and value <= limit + slack
        self.targets.append((tid, text, value, limit, unit, met))

    def table_section(self):
        self.add(
            "## Table operations",
            "",
            "Nanoseconds per operation (thread CPU time). quill: the pool (`CHashPool::Add`, `Get`,",
            "`Del`; `Entries().Find` for absent keys); ref: `__gnu_cxx::hash_map` with the pool's",
            "32-bit hash, used as the pool first used it (`operator[]` from the key text); std:",
            "`std::unordered_map` with its own hash, for context. Ratios below 1 mean faster than ref.",
            "",
            "| Operation | Keys | Count | quill | ref | std | quill/ref | std/ref |",
            "|---|---|---:|---:|---:|---:|---:|---:|",
        )
        for size in SIZES:
            for kind, kind_text in KINDS:
                for op, op_text in TABLE_OPS:
                    case = f"table/{op}/{kind}/{size}"
                    quill, ref, std = (self.get(case, s) for s in ("quill", "ref", "std"))
                    r = ratio(quill, ref)
                    self.add(
                        f"| {op_text} | {kind_text} | {size:,} | {fmt(quill)} | {fmt(ref)} | "
                        f"{fmt(std)} | {fmt_ratio(r)} | {fmt_ratio(ratio(std, ref))} |"
                    )
                    self.target(
                        f"table_{op}_{kind}_{size}",
                        f"{op_text}, {kind_text}, {size:,} keys: quill/ref",
                        r,
                        1.0,
                    )
                    if size == 1000000 and kind == "numbered" and op in ("lookup_random", "erase"):
                        self.target(
                            f"table_{op}_{kind}_{size}_half",
                            f"{op_text}, {kind_text}, {size:,} keys: quill/ref",
                            r,
                            0.5,
                        )
        self.add("")

    def memory_section(self):
        self.add(
            "## Memory",
            "",
            "Heap bytes per entry of a full table of 1,000,000 keys with short values, chunk",
            "overhead included (`mallinfo2` before and after filling each side alone).",
            "",
            "| Keys | quill | ref | std | quill/ref | std/ref |",
            "|---|---:|---:|---:|---:|---:|",
        )
        for kind, kind_text in KINDS:
            case = f"memory/bytes_per_entry/{kind}/1000000"
            quill, ref, std = (self.get(case, s) for s in ("quill", "ref", "std"))
            r = ratio(quill, ref)
            self.add(
                f"| {kind_text} | {fmt(quill)} | {fmt(ref)} | {fmt(std)} | {fmt_ratio(r)} | "
                f"{fmt_ratio(ratio(std, ref))} |"
            )
            self.target(f"memory_{kind}", f"memory per entry, {kind_text}: quill/ref", r, 0.8)
        self.add("")

    def positions_section(self):
        self.add(
            "## Positional reads",
            "",
            "Nanoseconds per position, every position read in order (thread CPU time): `HGet` with",
            "an integer through the stand-in VM; floor: a native that does nothing, called the same",
            "way; `CHashPool::GetIndex`; foreach: one plain iteration over the table. A constant",
            "figure per position from 100,000 to 1,000,000 entries shows the walk is linear.",
            "",
            "| Entries | hget | floor | getindex | foreach | getindex/foreach | hget/foreach | (hget - floor)/foreach |",
            "|---:|---:|---:|---:|---:|---:|---:|---:|",
        )
        for size in (100000, 1000000):
            case = f"positions/read_all/{size}"
            hget, floor, getindex, foreach = (
                self.get(case, s) for s in ("hget", "floor", "getindex", "foreach")
            )
            own = None if hget is None or floor is None else hget - floor
            self.add(
                f"| {size:,} | {fmt(hget)} | {fmt(floor)} | {fmt(getindex)} | {fmt(foreach)} | "
                f"{fmt_ratio(ratio(getindex, foreach))} | {fmt_ratio(ratio(hget, foreach))} | "
                f"{fmt_ratio(ratio(own, foreach))} |"
            )
            if size == 1000000:
                self.target(
                    "positions_getindex",
                    "all positions of 1,000,000 by GetIndex: getindex/foreach",
                    ratio(getindex, foreach),
                    3.0,
                )
                self.target(
                    "positions_hget",
                    "all positions of 1,000,000 by HGet through the stand-in VM: hget/floor",
                    ratio(hget, floor),
                    1.5,
                )
        self.add("")

    def spread(self, case, side):
        """A side's median with its least and greatest figure over the runs, as text."""
        median = self.get(case, side)
        low, high = (
            (self.runs.get((case, agg)) or {}).get(side) for agg in ("min", "max")
        )
        if median is None or low is None or high is None:
            return fmt_ratio(median)
        return f"{median:.2f} ({low:.2f}-{high:.2f})"

    def file_section(self):
        self.add(
            "## Load and save",
            "",
            "Milliseconds per file of 1,000,000 \"key\"+number entries (wall time, page cache",
            "warm). quill: `CHashPool::Load` into a new pool, and `CHashPool::Save` (temporary file,",
            "`fsync`, `rename`, directory `fsync`); described: the `fgets` loop into a 128-byte",
            "buffer with `operator[]` into ref, and the writer with four `fwrite` calls per entry",
            "(no `fsync`); raw: one `read` of the file, and one `fwrite` of its bytes plus `fsync`;",
            "by hand: the save's protocol done by hand on the file's bytes, one `write` to a new",
            "file beside the target, `fsync`, `rename` over the target and `fsync` of the folder,",
            "the floor of any durable replace. save, every CPU busy: the same turns while as many",
            "threads as the machine has CPUs spin beside them, so that each side has a share of a",
            "CPU, as on a machine busy with other work.",
            "",
            "| Operation | quill | described | raw | by hand | quill/described | quill/raw |",
            "|---|---:|---:|---:|---:|---:|---:|",
        )
        for op, name in (("load", "load"), ("save", "save"), ("save_busy", "save, every CPU busy")):
            case = f"file/{op}/1000000"
            ops = self.get(case, "ops") or 1
            sides = ("quill", "described", "raw", "by_hand")
            quill, described, raw, by_hand = (self.get(case, s) for s in sides)
            ms = [None if x is None else x * ops / 1e6 for x in (quill, described, raw, by_hand)]
            shown_hand = "" if op == "load" else fmt(ms[3])
            self.add(
                f"| {name} | {fmt(ms[0])} | {fmt(ms[1])} | {fmt(ms[2], 2)} | {shown_hand} | "
                f"{fmt_ratio(ratio(quill, described))} | {fmt_ratio(ratio(quill, raw))} |"
            )
            if op == "load":
                self.target("load", "load of 1,000,000 entries: quill/described", ratio(quill, described), 0.5)
        case = "file/save/1000000"
        busy = "file/save_busy/1000000"
        runs = self.get(case, "repetitions") or "several"
        self.add(
            "",
            f"The save's ratios, each taken within one run of the case ({runs} runs): their median",
            "with the least and the greatest in parentheses.",
            "",
            "| Ratio | median (least-greatest) |",
            "|---|---:|",
            f"| quill/by hand | {self.spread(case, 'quill_by_hand')} |",
            f"| quill/raw | {self.spread(case, 'quill_raw')} |",
            f"| quill/by hand, every CPU busy | {self.spread(busy, 'quill_by_hand')} |",
            f"| quill/raw, every CPU busy | {self.spread(busy, 'quill_raw')} |",
            "",
        )
        for tid, which, text in (("save", case, ""), ("save_busy", busy, ", every CPU busy")):
            least_most = self.spread(which, "quill_by_hand").partition(" ")[2].strip("()") or "n/a"
            self.target(
                tid,
                f"save of 1,000,000 entries{text}: quill/by hand, the median of the runs' ratios "
                f"(least-greatest: {least_most})",
                self.get(which, "quill_by_hand"),
                1.25,
            )

    def redis_section(self):
        self.add(
            "## Redis",
            "",
            "Milliseconds per save or load of a pool of 1,000,000 \"key\"+number entries as a Redis",
            "hash (wall time), on a `redis-server` the benchmark starts on a Unix socket. quill:",
            "`CHashPool::Save` through `CRedisStore` (the entries in `HSET` commands of 1,000 fields",
            "to a temporary key, then the script that renames it over the hash), and",
            "`CHashPool::Load` through it into a new pool; hiredis: the same `HSET` commands",
            "pipelined through hiredis alone (`redisAppendCommandArgv`, then `redisGetReply` for",
            "each), and one `HGETALL` by `redisCommand`, the reply parsed by hiredis and nothing",
            "more. quill/hiredis is taken within each run: its median with the least and the",
            "greatest in parentheses.",
            "",
            "| Operation | quill | hiredis | quill/hiredis (least-greatest) |",
            "|---|---:|---:|---:|",
        )
        for op in ("save", "load"):
            case = f"redis/{op}/1000000"
            ops = self.get(case, "ops") or 1
            quill, hiredis = (self.get(case, s) for s in ("quill", "hiredis"))
            ms = [None if x is None else x * ops / 1e6 for x in (quill, hiredis)]
            self.add(
                f"| {op} | {fmt(ms[0])} | {fmt(ms[1])} | {self.spread(case, 'quill_hiredis')} |"
            )
            least_most = self.spread(case, "quill_hiredis").partition(" ")[2].strip("()") or "n/a"
            self.target(
                f"redis_{op}",
                f"Redis {op} of 1,000,000 entries: quill/hiredis, the median of the runs' ratios "
                f"(least-greatest: {least_most})",
                self.get(case, "quill_hiredis"),
                1.5,
            )
        self.add("")

    def script_section(self):
        self.add(
            "## Script calls",
            "",
            "Nanoseconds per call on a pool of 100,000 \"key\"+number entries, keys in random order",
            "(thread CPU time), and operator-new calls per call. vm: the script function through",
            "the stand-in VM; floor: a native that does nothing, called the same way; pool: the",
            "pool operation beneath (`Get`, `Add` of the value's text, `Inc`). vm - floor is what",
            "the handler and the pool operation add to the VM's own call.",
            "",
            "| Function | vm | floor | pool | vm - floor | allocations: vm | floor | pool |",
            "|---|---:|---:|---:|---:|---:|---:|---:|",
        )
        for fn, name in (("hget", "HGet"), ("hadd", "HAdd"), ("hinc", "HInc")):
            case = f"script/{fn}/100000"
            vm, floor, pool = (self.get(case, s) for s in ("vm", "floor", "pool"))
            allocs = [self.get(case, f"{s}_allocs") for s in ("vm", "floor", "pool")]
            own = None if vm is None or floor is None else vm - floor
            self.add(
                f"| `{name}` | {fmt(vm)} | {fmt(floor)} | {fmt(pool)} | {fmt(own)} | "
                + " | ".join(fmt(a, 2) for a in allocs)
                + " |"
            )
            if None not in allocs:
                extra = allocs[0] - allocs[1] - allocs[2]
                # A handler that allocated would add at least one allocation per call; a few
                # allocations in the whole run are the VM's own.
                self.target(
                    f"script_{fn}_allocs",
                    f"`{name}`: allocations of the handler itself per call (vm - floor - pool)",
                    extra,
                    0.0,
                    unit="",
                    slack=0.005,
                )
        self.add("")

    def handler_section(self):
        self.add(
            "## Handlers' own cost",
            "",
            "Nanoseconds per call on a pool of 1,000,000 \"key\"+number entries (thread CPU time),",
            "each script function called through a lean API table that only moves values on a fixed",
            "stack: no name lookup, no frame, no copy of a result. floor: a native that does nothing,",
            "called the same way; pool: the operation beneath (`GetIndex`, `Get`, `KeyAt`, `Has`,",
            "`Size`). handler - floor - pool is what the handler itself adds: reading its arguments,",
            "finding the pool, testing a value's digits, pushing the result. Positions are read in",
            "order, keys in insertion order.",
            "",
            "| Function | handler | floor | pool | handler - floor - pool |",
            "|---|---:|---:|---:|---:|",
        )
        for fn, name in (
            ("hget_pos", "`HGet` by position"),
            ("hget_key", "`HGet` by key"),
            ("hkey", "`HKey`"),
            ("hhas", "`HHas`"),
            ("hcount", "`HCount`"),
        ):
            case = f"handler/{fn}/1000000"
            handler, floor, pool = (self.get(case, s) for s in ("handler", "floor", "pool"))
            own = None if None in (handler, floor, pool) else handler - floor - pool
            self.add(f"| {name} | {fmt(handler)} | {fmt(floor)} | {fmt(pool)} | {fmt(own)} |")
        case = "positions/walk_keys/1000000"
        both, values = self.get(case, "keys_values"), self.get(case, "values")
        self.add(
            "",
            "Walking a pool: every position of 1,000,000 entries in order, its key by `KeyAt` and",
            f"its value by `GetIndex`: {fmt(both)} ns per position, against {fmt(values)} for the",
            f"value alone ({fmt_ratio(ratio(both, values))}x).",
            "",
        )
        self.target("walk_keys", "keys and values of 1,000,000 in order: keys_values/values", ratio(both, values), 1.5)

    def icount_section(self, counts):
        def get(case):
            return counts.get(case)

        self.add(
            "## Instruction counts",
            "",
            "Instructions per call, counted by callgrind (`valgrind --tool=callgrind`, from Debian's",
            "`valgrind`) running `quill_icount` of the same build: each case makes its calls once",
            "uncounted, then again between client requests that collect those calls alone; a",
            "figure is the instructions collected (Ir) divided by the calls, the harness's own loop",
            "included. A count does not move with the machine's load as a time does.",
            "",
            "Table operations on pools of \"key\"+number entries: a position read by",
            "`CHashPool::GetIndex` against a present key read by `CHashPool::Get` in the same pool,",
            "both in a fixed random order; in order, every position against one step of a plain",
            "iteration (`ForEach`).",
            "",
            "| Case | getindex | against | getindex/against | getindex before the index |",
            "|---|---:|---:|---:|---:|",
        )
        rows = [
            ("positions 0, 1, 2, 0, ... of a new pool of 3 entries", "cycle3/getindex", None),
            ("a random position of 1,000,000; a random key", "large/getindex", "large/get"),
            ("a random position of 1,000 entries left in 1,572,869 buckets; a random key",
             "sparse/getindex", "sparse/get"),
            ("every position of 1,000,000 in order; a plain iteration", "in_order/getindex",
             "in_order/foreach"),
        ]
        for text, case, against in rows:
            own, other = get(case), get(against) if against else None
            self.add(
                f"| {text} | {fmt(own)} | {fmt(other)} | {fmt_ratio(ratio(own, other))} | "
                f"{fmt(BEFORE_INDEX.get(case))} |"
            )
        self.add(
            "",
            "Handlers through the lean API table of the handler benchmark (the stand-in VM's",
            "calling convention with nothing of its own cost) on a pool of 1,000,000 \"key\"+number",
            "entries, keys and random positions in a fixed random order. floor: a native that does",
            "nothing, called the same way with as many arguments; handler - floor is the plug-in's",
            "part of a call.",
            "",
            "| Function | handler | floor | handler - floor |",
            "|---|---:|---:|---:|",
        )
        for fn, name, floor_case in HANDLERS:
            handler, floor = get(f"handler/{fn}"), get(f"handler/{floor_case}")
            own = None if None in (handler, floor) else handler - floor
            self.add(f"| {name} | {fmt(handler)} | {fmt(floor)} | {fmt(own)} |")
        cycle_floor = get("cycle3/floor")
        for fn, name in (("hget_pos", "`HGet` by position"), ("hkey", "`HKey`")):
            handler = get(f"cycle3/{fn}")
            own = None if None in (handler, cycle_floor) else handler - cycle_floor
            self.add(
                f"| {name}, positions 0, 1, 2, 0, ... of 3 entries | {fmt(handler)} | "
                f"{fmt(cycle_floor)} | {fmt(own)} |"
            )
        write = get("save/write")
        self.add(
            "",
            "A save's formatting: `CPoolFile::Write` of the pool of 1,000,000 into a file that",
            f"drops the bytes, {fmt(write)} instructions per entry (the walk over the table",
            f"included), against {fmt(BEFORE_COPY_TEST)} before each text was copied while it was",
            "tested.",
            "",
        )
        self.target(
            "icount_save_write",
            "a save's formatting of 1,000,000 entries: instructions per entry (three quarters of "
            "before the copy that tests)",
            write,
            round(BEFORE_COPY_TEST * 0.75),
            unit="",
        )

        def quarter(case):
            before = BEFORE_INDEX.get(case)
            return None if before is None else before / 4

        self.target(
            "icount_cycle3_getindex",
            "positions 0, 1, 2, 0, ... of 3 entries by GetIndex: instructions per call "
            "(a quarter of before the index)",
            get("cycle3/getindex"),
            quarter("cycle3/getindex"),
            unit="",
        )
        self.target(
            "icount_large",
            "a random position of 1,000,000 against a random key: getindex/get instructions",
            ratio(get("large/getindex"), get("large/get")),
            2.0,
        )
        self.target(
            "icount_sparse",
            "a random position of 1,000 in 1,572,869 buckets against a random key: "
            "getindex/get instructions",
            ratio(get("sparse/getindex"), get("sparse/get")),
            2.0,
        )
        self.target(
            "icount_in_order",
            "every position of 1,000,000 in order by GetIndex: instructions per position "
            "(no more than before the index)",
            get("in_order/getindex"),
            BEFORE_INDEX.get("in_order/getindex"),
            unit="",
        )

    def targets_section(self):
        lines = [
            "## Targets",
            "",
            "| Target | Measured | Bound | Met |",
            "|---|---:|---:|---|",
        ]
        for _, text, value, limit, unit, met in self.targets:
            shown = "n/a" if value is None else f"{value:.2f}{unit}"
            bound = "n/a" if limit is None else f"{limit:g}{unit}"
            lines.append(f"| {text} | {shown} | <= {bound} | {'yes' if met else '**no**'} |")
        missed = [t for t in self.targets if not t[5]]
        lines.append("")
        if not missed:
            lines.append("Every target is met in this run.")
        else:
            lines.append(f"{len(missed)} of {len(self.targets)} targets missed in this run:")
            lines.append("")
            for tid, text, value, limit, unit, _ in missed:
                if value is None or limit is None:
                    lines.append(f"- {text}: not measured.")
                    continue
                over = value - limit
                by = f"{over / limit:.0%} over the bound" if limit else f"{over:.2f} over"
                note = next(
                    (MISS_NOTES[key] for key in sorted(MISS_NOTES, key=len, reverse=True)
                     if tid == key or tid.startswith(key + "_")),
                    "No explanation recorded for this target; see the table above.",
                )
                lines.append(f"- {text}: {value:.2f}{unit}, {by}. {note}")
        lines.append("")
        return lines


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    context, runs = load_runs(sys.argv[1])
    with open(sys.argv[2], encoding="utf-8") as f:
        counts = json.load(f)
    report = Report(runs)
    report.table_section()
    report.memory_section()
    report.positions_section()
    report.file_section()
    report.redis_section()
    report.script_section()
    report.handler_section()
    report.icount_section(counts)
    model, cpus = machine()
    head = [
        "# Benchmarks",
        "",
        f"Written by `make bench` (native-release preset), which runs each case of `quill_bench` in "
        f"a process of its own, from the run begun on {context.get('date', 'an unknown date')}.",
        f"Machine: {model}, {cpus} CPUs ({context.get('num_cpus', '?')} seen by the benchmark "
        f"library), {context.get('mhz_per_cpu', '?')} MHz; shared with other work, so each case",
        "runs its sides in turns (in rotating order, in rounds of at most 1/64 of a pass), every",
        "ratio divides figures of the same case in the same run, and each figure is the median of",
        "several runs of its case.",
        "",
    ]
    out = head + report.targets_section() + report.lines
    with open(sys.argv[3], "w", encoding="utf-8") as f:
        f.write("\n".join(out).rstrip("\n") + "\n")


if __name__ == "__main__":
    main()
