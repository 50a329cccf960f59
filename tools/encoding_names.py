"""The recipe encoding names, read from the one list that defines them: the
rows of src/layout/encoding_table.cpp. tools/refusal_stubs.py writes the
stub's PackEncoding and Encoding literals with written_stub(), and the test
helpers and the Python fuzzer take their names from encoding_names().
tests/test_encoding_names.py compares the names with what the module accepts.
"""

import pathlib
import re

ROOT = pathlib.Path(__file__).resolve().parent.parent
TABLE = ROOT / "src" / "layout" / "encoding_table.cpp"

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
