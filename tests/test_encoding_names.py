"""The encoding names are written once, in the module's table
(src/layout/encoding_table.cpp). tools/encoding_names.py writes the stub's
PackEncoding and Encoding literals from it and gives the test helpers and the
Python fuzzer their lists; these tests hold all of them to what the module
accepts."""

import ast
from pathlib import Path

import pytest

import vantrel
from recipe_helpers import ENCODINGS as HELPER_ENCODINGS
from recipe_helpers import repository_tool

ROOT = Path(__file__).resolve().parents[1]


def stub_literal(alias):
    """The string members of a Literal alias in the stub, nested aliases expanded."""
    tree = ast.parse((ROOT / "src" / "vantrel.pyi").read_text(encoding="utf-8"))
    aliases = {
        node.target.id: node.value
        for node in tree.body
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
    }

    def members(node):
        if isinstance(node, ast.Constant):
            return [node.value]
        if isinstance(node, ast.Name):
            return members(aliases[node.id])
        if isinstance(node, ast.Subscript):
            inner = node.slice
            items = inner.elts if isinstance(inner, ast.Tuple) else [inner]
            return [name for item in items for name in members(item)]
        raise AssertionError(ast.dump(node))

    return members(aliases[alias])


def fuzzer_encodings():
    """fuzz/fuzz_python.py's ENCODINGS, evaluated without importing the fuzzer."""
    tree = ast.parse((ROOT / "fuzz" / "fuzz_python.py").read_text(encoding="utf-8"))
    for node in tree.body:
        if isinstance(node, ast.Assign) and [t.id for t in node.targets] == ["ENCODINGS"]:
            expression = compile(ast.Expression(node.value), "fuzz_python.py", "eval")
            names = repository_tool("encoding_names").encoding_names
            return eval(expression, {"encoding_names": names})
    raise AssertionError("fuzz/fuzz_python.py has no ENCODINGS list")


def item(encoding, value=None):
    entry = {"name": "x", "encoding": encoding, "bits": 8}
    entry.update(byte_order="big", reverse_bits=False)
    if value is not None:
        entry["value"] = value
    return entry


def unpacks(name):
    try:
        vantrel.unpack_parameters(b"\x00" * 8, 0, [item(name)])
    except ValueError as error:
        return "Unsupported encoding type" not in str(error)
    return True


def packs(name):
    for value in (0, 0.0, "a"):
        try:
            vantrel.pack_parameters([item(name, value)])
            return True
        except (ValueError, TypeError) as error:
            if "Unsupported encoding type" in str(error):
                return False
    return True


def test_stub_names_are_the_module_names_in_three_spellings():
    pack_names = stub_literal("PackEncoding")
    all_names = stub_literal("Encoding")
    lower = [name for name in all_names if name == name.lower()]
    assert len(lower) == 34 and len([n for n in pack_names if n == n.lower()]) == 22
    for name in lower:
        assert unpacks(name), name
        assert packs(name) == (name in pack_names), name
        assert {name.upper(), name.title()} <= set(all_names), name
    for name in all_names:
        assert name.lower() in lower and unpacks(name), name
    for order in stub_literal("ByteOrder"):
        assert vantrel.unpack_parameters(b"\x01", 0, [{**item("unsigned"), "byte_order": order}])


@pytest.mark.parametrize(
    "names, deliberately_unknown",
    [(HELPER_ENCODINGS, set()), (fuzzer_encodings(), {"no_such_encoding"})],
    ids=["test helpers", "python fuzzer"],
)
def test_test_lists_name_real_encodings(names, deliberately_unknown):
    known = {name for name in stub_literal("Encoding") if name == name.lower()}
    assert {name.lower() for name in names} - deliberately_unknown <= known
    assert all(not unpacks(name) for name in deliberately_unknown)


def test_stub_literals_are_written_from_the_encoding_table():
    """tools/refusal_stubs.py --check (run below) also holds the literals to the table."""
    tool = repository_tool("encoding_names")
    stub = (ROOT / "src" / "vantrel.pyi").read_text(encoding="utf-8")
    assert tool.written_stub(stub) == stub
    rows = tool.table_rows()
    lower = [name for name in stub_literal("Encoding") if name == name.lower()]
    assert sorted(name for name, _ in rows) == sorted(lower)
    assert {name for name, packable in rows if packable} == {
        name for name in stub_literal("PackEncoding") if name == name.lower()
    }
    for name, packable in rows:
        assert unpacks(name) and packs(name) == packable, name


def test_refusal_stubs_are_written_from_the_table_the_module_agrees_with():
    """The 23 refusing functions' stub entries come from tools/refusal_stubs.py;
    its messages are the ones the module raises, and the stub is up to date."""
    import subprocess
    import sys

    tool = ROOT / "tools" / "refusal_stubs.py"
    checked = subprocess.run([sys.executable, str(tool), "--check"], capture_output=True, text=True)
    assert checked.returncode == 0, checked.stderr
    namespace = {"__name__": "refusal_stubs", "__file__": str(tool)}
    exec(compile(tool.read_text(encoding="utf-8"), str(tool), "exec"), namespace)
    refusals = namespace["refusals"]()
    assert len(refusals) == 23
    for name, message in refusals:
        with pytest.raises(NotImplementedError) as refused:
            getattr(vantrel, name)(0)
        assert str(refused.value) == message
