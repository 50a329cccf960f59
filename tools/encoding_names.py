"""The recipe encoding names, read from the one list that defines them: the
rows of src/placement/encoding_table.cpp. The stub's PackEncoding and Encoding
literals are written from it, and the test helpers and the Python fuzzer take
their names from it:

    python tools/encoding_names.py           # rewrite the stub's two literals
    python tools/encoding_names.py --check   # exit 1 when they are out of date

tests/test_encoding_names.py runs the check and compares the names with what
the module accepts.
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLE = ROOT / "src" / "placement" / "encoding_table.cpp"
STUB = ROOT / "src" / "vantrel.pyi"

ROW = re.compile(r'EncodingRow\{"(\w+)", V::(\w+),')


def table_rows():
    """(name, packable) for every row of the encoding table, in table order."""
    rows = ROW.findall(TABLE.read_text(encoding="utf-8"))
    if not rows:
        raise SystemExit(f"{TABLE}: no EncodingRow{{...}} rows found")
    return [(name, kind != "NotPackable") for name, kind in rows]


def encoding_names():
    """Every encoding name, lower case, in table order."""
    return [name for name, _ in table_rows()]


def spellings(name):
    """The three spellings the stub lists: lower, upper and title case."""
    title = "_".join(part[:1].upper() + part[1:] for part in name.split("_"))
    title = re.sub(r"(?<=\d)([a-z])", lambda m: m.group(1).upper(), title)  # Utf16Be
    return [name, name.upper(), title]


def literal_lines(names):
    return "".join(
        "    " + ", ".join(f'"{spelling}"' for spelling in spellings(name)) + ",\n"
        for name in names
    )


def written_stub(stub):
    rows = table_rows()
    pack = [name for name, packable in rows if packable]
    other = [name for name, packable in rows if not packable]
    stub = re.sub(
        r"(PackEncoding: TypeAlias = Literal\[\n)(.*?)(\]\n)",
        lambda m: m.group(1) + literal_lines(pack) + m.group(3),
        stub,
        count=1,
        flags=re.S,
    )
    return re.sub(
        r"(Encoding: TypeAlias = Literal\[\n    PackEncoding,\n)(.*?)(\]\n)",
        lambda m: m.group(1) + literal_lines(other) + m.group(3),
        stub,
        count=1,
        flags=re.S,
    )


def main(argv):
    stub = STUB.read_text(encoding="utf-8")
    wanted = written_stub(stub)
    if "--check" in argv:
        if wanted != stub:
            print(f"{STUB}: encoding literals out of date; run {__file__}", file=sys.stderr)
            return 1
        return 0
    STUB.write_text(wanted, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
