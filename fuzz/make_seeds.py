#!/usr/bin/env python3
"""Writes the seed inputs of the pool file and script call fuzzers into fuzz/corpus/.

The script call seeds are written in the fuzzer's input encoding (see the head of
script_calls_fuzzer.cpp); each seed is one session a script author could write. Run it again
after a change to the encoding; crash inputs kept in the corpus are not touched.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

LOAD, SAVE, CLOSE, ADD, GET, INC, DEC, DEL, SHUTDOWN, FILL, WALK = range(11)
LAST_ERROR = 14
NAMES = ["p", "q", "", "a", "n127", "n128", "a\\0b", "oy"]
TEXTS = ["", "a", "oy", "b", "\\xE9", "k\\n", "cr\\r", "\\r", "\\n", "a\\0b", "007", "10",
         "-5", "12 ", "99999999999", "2147483647", "1.500000", "v600", "\\xFF\\x80", "0", "p",
         "n128"]
PATHS = ["f0", "f1", "f2", "", ".", "sub", "nodir/f", "#249", "#250", "#600", "p", "f1\\0x",
         ".."]
FLOATS = [0.0, 1.5, -2.25, 2.9, -1.9]


def pick(table, item):
    if isinstance(item, int):
        # "k<number>": two bytes.
        return bytes([0x80 | (item >> 8), item & 0xFF])
    if isinstance(item, bytes):
        assert len(item) < 16
        return bytes([0xC0 | len(item)]) + item
    if item in table:
        return bytes([table.index(item)])
    # Any other text goes as its own bytes.
    return pick(table, item.encode("latin-1"))


def name(item):
    return pick(NAMES, item)


def text(item):
    return pick(TEXTS, item)


def path(item):
    return pick(PATHS, item)


def integer(value):
    if -2 <= value < 0xF0 - 2:
        return bytes([value + 2])
    return b"\xff" + struct.pack(">i", value)


def number(value):
    if isinstance(value, float):
        if value in FLOATS:
            return bytes([FLOATS.index(value)])
        return b"\x0f" + struct.pack(">f", value)
    return integer(value)


def load(n, p):
    return bytes([LOAD, 0]) + name(n) + path(p)


def save(n):
    return bytes([SAVE, 0]) + name(n)


def close(n):
    return bytes([CLOSE, 0]) + name(n)


def add(n, k, value):
    if isinstance(value, str) or isinstance(value, bytes):
        return bytes([ADD, 0]) + name(n) + text(k) + b"\x00" + text(value)
    kind = 1 if isinstance(value, int) else 2
    return bytes([ADD, 0]) + name(n) + text(k) + bytes([kind]) + number(value)


def get(n, k):
    if isinstance(k, tuple):  # ("pos", i)
        return bytes([GET, 0]) + name(n) + b"\x01" + integer(k[1])
    return bytes([GET, 0]) + name(n) + b"\x00" + text(k)


def count(op, n, k, amount=None):
    if amount is None:
        return bytes([op, 0]) + name(n) + text(k)
    if isinstance(amount, bool):
        return bytes([op, 1]) + name(n) + text(k) + bytes([3, int(amount)])
    if isinstance(amount, float):
        return bytes([op, 1]) + name(n) + text(k) + bytes([2]) + number(amount)
    return bytes([op, 1]) + name(n) + text(k) + bytes([0]) + integer(amount)


def delete(n, k):
    return bytes([DEL, 0]) + name(n) + text(k)


def raw(op, *args):
    """A call with explicit argument types: ("null",), ("bool", b), ("int", i), ("float", f),
    ("str", text), ("table",), ("array",), ("closure",)."""
    out = bytes([op, 0xC0 + len(args)])
    for i, arg in enumerate(args):
        kind = arg[0]
        if kind == "null":
            out += b"\x00"
        elif kind == "bool":
            out += bytes([1, int(arg[1])])
        elif kind == "int":
            out += b"\x02" + integer(arg[1])
        elif kind == "float":
            out += b"\x03" + number(arg[1])
        elif kind == "str":
            out += b"\x04" + (path(arg[1]) if op == LOAD and i == 1 else text(arg[1]))
        elif kind == "table":
            out += b"\x05"
        elif kind == "array":
            out += b"\x06"
        else:
            out += b"\x07"
    return out


def shutdown():
    return bytes([SHUTDOWN, 0])


FILL_EDGES = [5, 6, 53, 54, 97, 98, 192, 193, 194, 388, 389, 390, 768, 769, 770, 771]


def fill(n, target):
    """New keys are added to the pool until it holds target entries."""
    if target < 0xF0:
        return bytes([FILL, target]) + name(n)
    return bytes([FILL, 0xF0 + FILL_EDGES.index(target)]) + name(n)


def last_error(n):
    return bytes([LAST_ERROR, 0]) + name(n)


def walk(n, first, count):
    """HGet of count positions in a row from first."""
    return bytes([WALK, first + 2]) + name(n) + bytes([count - 1])


SCRIPT_SEEDS = {
    "session_basics": [
        load("p", "f0"), add("p", "a", "b"), add("p", "oy", 10), add("p", "b", 1.5),
        get("p", "a"), get("p", ("pos", 0)), get("p", ("pos", 1)), get("p", ("pos", -1)),
        save("p"), close("p"), load("p", "f0"), get("p", ("pos", 0)), get("p", "oy"),
    ],
    "counters": [
        load("p", "f0"), count(INC, "p", "a"), count(INC, "p", "a", 5), count(DEC, "p", "b"),
        count(DEC, "p", "b", -5), add("p", "oy", "-5"), count(INC, "p", "oy"),
        add("p", "a", "99999999999"), count(INC, "p", "a"), add("p", "b", 2147483647),
        count(INC, "p", "b"), count(INC, "p", "cr\\r", 2.9), count(DEC, "p", "cr\\r", True),
        raw(INC, ("str", "p"), ("str", "a"), ("int", 7), ("int", 9)),
        get("p", "a"), get("p", "b"), get("p", "cr\\r"),
    ],
    "growth": [load("p", "f0")] + [add("p", i, i) for i in range(150)] + [
        fill("p", 193), count(INC, "p", 5), get("p", ("pos", 193)), fill("q", 5),
        load("q", "f0"), fill("q", 192), count(INC, "q", "a"), fill("q", 388),
        get("q", "b"), save("p"), close("p"), load("p", "f0"), get("p", ("pos", 0)),
        get("p", ("pos", 193)),
    ],
    "odd_file": [load("p", "f2")] + [get("p", ("pos", i)) for i in range(9)] + [
        save("p"), load("q", "f2"), get("q", "a"), get("q", b"k"), load("q", "f1"),
        get("q", ("pos", 0)),
    ],
    "argument_types": [
        load("p", "f0"), raw(LOAD), raw(LOAD, ("str", "p")), raw(LOAD, ("int", 1), ("int", 2)),
        raw(LOAD, ("str", "a"), ("float", 2.5)), raw(SAVE, ("null",)), raw(SAVE, ("table",)),
        raw(CLOSE, ("array",)), raw(DEL, ("str", "p"), ("closure",)),
        raw(ADD, ("str", "p"), ("str", "a"), ("bool", True)),
        raw(ADD, ("str", "p"), ("str", "a"), ("null",)),
        raw(ADD, ("str", "p"), ("int", 1), ("int", 1)), raw(ADD, ("str", "p"), ("str", "a")),
        raw(GET, ("str", "p"), ("float", 1.5)), raw(GET, ("table",), ("int", 0)),
        raw(GET, ("str", "p"), ("str", "a"), ("str", "b")), raw(INC, ("str", "p")),
        raw(INC, ("str", "p"), ("int", 3)), raw(DEC, ("array",), ("str", "a")),
        raw(INC, ("str", "p"), ("str", "a"), ("str", "b")),
        raw(INC, ("str", "p"), ("str", "a"), ("null",), ("null",), ("null",)),
    ],
    "names_and_paths": [
        load("n127", "f0"), add("n127", "a", "b"), save("n127"), load("n128", "f0"),
        save("n128"), get("n128", "a"), load("p", "#249"), add("p", "a", 1), save("p"),
        load("p", "#250"), save("p"), load("p", "#600"), load("p", ""), save("p"),
        load("p", "."), save("p"), load("p", "sub"), save("p"), load("p", "nodir/f"),
        save("p"), load("p", ".."), save("p"), load("q", "#249"), get("q", "a"),
    ],
    "shared_file": [
        load("p", "f0"), load("q", "f0"), add("p", "a", "1"), add("q", "b", "2"), save("p"),
        save("q"), save("p"), load("a", "f0"), get("a", ("pos", 0)), close("q"), save("q"),
        close("q"),
    ],
    "shutdown": [
        load("p", "f0"), add("p", "a", 1), save("p"), add("p", "b", 2), shutdown(),
        get("p", "a"), load("p", "f0"), get("p", "b"), get("p", "a"), shutdown(), shutdown(),
    ],
    "zero_bytes": [
        load("a\\0b", "f1\\0x"), add("a", "a\\0b", "a\\0b"), get("a\\0b", "a"), save("a"),
        load("q", "f1"), get("q", "a"), load("q", b"f1\x00zz"), load("q", b"\x00"),
        add("q", b"x\x00y", b"z\x00"), get("q", b"x"),
    ],
    "long_value": [
        load("p", "f0"), add("p", "b", "v600"), get("p", "b"), add("p", "v600", "v600"),
        save("p"), load("q", "f0"), get("q", "v600"), add("p", "k\\n", "a"),
        add("p", "a", "\\n"), save("p"), load("p", "f0"), get("p", ("pos", 2)),
    ],
    "chains": [
        load("p", "f0"), add("p", "a", 1), add("p", "oy", 2), add("p", "\\xE9", 3),
        get("p", ("pos", 0)), delete("p", "a"), add("p", "a", 4), get("p", ("pos", 0)),
        delete("p", "b"), get("p", "b"), get("p", ("pos", 3)), save("p"),
        load("p", "f0"), get("p", ("pos", 0)), get("p", ("pos", 1)),
    ],
    "positions": [
        load("p", "f0"), add("p", "a", 1), add("p", "b", 2), add("p", "oy", 3),
        get("p", ("pos", 1)), delete("p", "oy"), get("p", ("pos", 1)), walk("p", 0, 4),
        fill("p", 12), walk("p", 0, 13), delete("p", "b"), walk("p", 3, 6),
        delete("p", "a"), get("p", ("pos", 9)), count(INC, "p", "b"), walk("p", 8, 4),
    ],
    "value_texts": [
        load("p", "f0"), add("p", "a", "007"), add("p", "b", "-5"), add("p", "oy", "12 "),
        add("p", "0", "1.500000"), add("p", "p", "2147483647"), add("p", "10", 1e10),
        add("p", "cr\\r", -2.25), add("p", "\\r", -7), add("p", "\\xFF\\x80", "\\xFF\\x80"),
        get("p", "a"), get("p", "b"), get("p", "oy"), get("p", "0"), get("p", "p"),
        get("p", "10"), get("p", "cr\\r"), get("p", "\\r"), get("p", "\\xFF\\x80"),
        save("p"), close("p"), load("p", "f0"), get("p", ("pos", 4)),
    ],
    "failure_lines": [
        last_error("p"), load("p", "."), last_error("p"), save("p"), last_error("p"),
        load("p", "f0"), last_error("p"), add("p", "a", 1), save("p"), last_error("p"),
        load("p", ""), last_error("p"), save("p"), last_error("p"), load("p", "#600"),
        last_error("p"), load("p", "sub"), save("p"), last_error("q"), last_error("n128"),
        raw(LAST_ERROR), raw(LAST_ERROR, ("int", 1)), close("p"), last_error("p"),
    ],
}

# Pool files: odd line ends, zero bytes, long lines, duplicates, keys at the end.
POOL_SEEDS = {
    "plain": b"alpha\n12\nbeta\nred\n",
    "shared_chain": b"a\n1\noy\n2\n",
    "crlf": b"a\r\n1\r\nb\r\n2\r\n\r\n",
    "blank_lines": b"\n\n\na\n\n\nb\nc\n",
    "zero_bytes": b"a\x00junk\n1\n\x00\nb\nc\x00\n",
    "key_at_end": b"a\n1\nb",
    "no_final_line_feed": b"a\n1\nb\n2",
    "duplicates": b"a\n1\nb\n2\na\n3\n",
    "long_lines": b"k" * 300 + b"\n" + b"v" * 1000 + b"\nshort\n" + b"w" * 127 + b"\n",
    "high_bytes": b"\xe9\n\xff\x80\n\x80\n\xe9\xe9\n",
    "many_keys": b"".join(b"key%d\n%d\n" % (i, i) for i in range(260)),
    "empty": b"",
    "inner_cr": b"a\rb\n1\nc\nline\rbreak\n",
    "bom": b"\xef\xbb\xbfname\nAda\nage\n36\n",
    "utf8_text": "grüße\nstraße\ntab\ta\\b\n€ 5\n".encode("utf-8"),
}


def write(directory, seeds):
    os.makedirs(directory, exist_ok=True)
    for seed, data in seeds.items():
        with open(os.path.join(directory, seed), "wb") as out:
            out.write(data)


def main():
    texts = {}
    for seed, calls in SCRIPT_SEEDS.items():
        texts[seed] = b"".join(calls)
    write(os.path.join(HERE, "corpus", "script_calls"), texts)
    write(os.path.join(HERE, "corpus", "pool_file"), POOL_SEEDS)


if __name__ == "__main__":
    main()
