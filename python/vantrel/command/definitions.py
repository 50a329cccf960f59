"""Definitions files: the packet types of an archive and how to frame it.

A definitions file (JSON or TOML) holds one layout per packet type, plus
optional framing, framing rules, the header field that tells the types apart
and a shared header. Layout items are recipe items and go to `vantrel.Layout`
unchanged, after the file's `defaults` fill the keys an item leaves out; any
key a layout accepts works here. A ccsdspy CSV packet definition is read as
a file of one packet type (see `read_ccsdspy_csv`).

Every error is a `DefinitionsError` whose message starts with the file, then
the packet type and the item where there is one.
"""

from __future__ import annotations

import csv
import json
import sys
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import vantrel

from .common import CommandError
from .outputs import check_distinct, check_name

CCSDS_FRAMING = {"length_offset_bits": 32, "length_bits": 16, "length_adjust": 7}
CCSDS_KEY = {"offset_bits": 5, "bits": 11}
CCSDS_SEQUENCE = {"offset_bits": 18, "bits": 14, "modulus": 16384}

TOP_LEVEL_KEYS = {"framing", "rules", "type_field", "sequence", "defaults", "header", "packets"}
FRAMING_KEYS = {"length_offset_bits", "length_bits", "length_adjust", "byte_order"}
TIME_CODES = ("cuc", "cds")  # the conversions whose values are times
PACKET_KEYS = {"key", "layout", "header", "time", "options", "ccsdspy_csv"}

# ccsdspy's names for the primary header fields it decodes before a definition's own.
CCSDSPY_HEADER_NAMES = (
    ("CCSDS_VERSION_NUMBER", 3),
    ("CCSDS_PACKET_TYPE", 1),
    ("CCSDS_SECONDARY_FLAG", 1),
    ("CCSDS_APID", 11),
    ("CCSDS_SEQUENCE_FLAG", 2),
    ("CCSDS_SEQUENCE_COUNT", 14),
    ("CCSDS_PACKET_LENGTH", 16),
)


class DefinitionsError(ValueError):
    """A definitions file that cannot be used; the message says where."""


@dataclass(frozen=True)
class PacketType:
    """One packet type: the key values that select it and its compiled layout."""

    name: str
    keys: tuple[int, ...] | None  # None: every packet of the archive
    layout: vantrel.Layout
    time: str | None = None  # the field of the time axis
    time_scale: str | None = None  # "TAI" or "UTC" when that field is a time code
    # The items' "unit" keys (which Layout does not take), by field name.
    units: dict[str, str] = field(default_factory=dict)
    # The names of each enumeration field's states, in the order of their raw values.
    states: dict[str, tuple[str, ...]] = field(default_factory=dict)


@dataclass(frozen=True)
class Definitions:
    source: str
    framing: dict[str, Any] = field(default_factory=lambda: dict(CCSDS_FRAMING))
    rules: dict[str, Any] | None = None
    key: dict[str, int] = field(default_factory=lambda: dict(CCSDS_KEY))
    sequence: dict[str, int] | None = field(default_factory=lambda: dict(CCSDS_SEQUENCE))
    packets: tuple[PacketType, ...] = ()

    def packet_type(self, name: str) -> PacketType:
        for packet in self.packets:
            if packet.name == name:
                return packet
        raise KeyError(name)


def load_or_ccsds(path: str | Path | None) -> Definitions:
    """The definitions in `path`, or, without one, CCSDS space packets of no known type."""
    return load(path) if path else Definitions(source="CCSDS space packets")


def load(path: str | Path) -> Definitions:
    """Read a definitions file: .json, .toml, or a ccsdspy .csv packet definition."""
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".csv":
        _check_type_names(str(path), [path.stem])
        return Definitions(
            source=str(path),
            packets=(_ccsdspy_packet_type(path.stem, None, path, str(path)),),
        )
    try:
        raw = path.read_bytes()
    except OSError as error:
        raise DefinitionsError(f"{path}: cannot read the file: {error.strerror}") from None
    if suffix == ".toml":
        document = _parse_toml(raw, path)
    elif suffix == ".json":
        try:
            document = json.loads(raw)
        except (json.JSONDecodeError, UnicodeDecodeError) as error:
            raise DefinitionsError(f"{path}: not valid JSON: {error}") from None
    else:
        raise DefinitionsError(
            f"{path}: unknown definitions format {suffix or '(no suffix)'!r}: "
            "use .json, .toml or a ccsdspy .csv"
        )
    return from_document(document, str(path), base=path.parent)


def _parse_toml(raw: bytes, path: Path) -> Any:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        try:
            import tomli as tomllib
        except ImportError:
            raise DefinitionsError(
                f"{path}: reading TOML before Python 3.11 needs tomli: pip install 'vantrel[cli]'"
            ) from None
    try:
        return tomllib.loads(raw.decode("utf-8"))
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise DefinitionsError(f"{path}: not valid TOML: {error}") from None


def _is_int(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _check_keys(where: str, table: Any, allowed: set[str], what: str) -> dict[str, Any]:
    if not isinstance(table, dict):
        raise DefinitionsError(f"{where}: {what} must be a table (a JSON object)")
    unknown = sorted(set(table) - allowed)
    if unknown:
        raise DefinitionsError(
            f"{where}: unknown key {unknown[0]!r} in {what} (known: {', '.join(sorted(allowed))})"
        )
    return table


def _field_position(where: str, header: list[dict[str, Any]], name: str) -> dict[str, int]:
    """The offset and width of a header field named by a key or sequence entry."""
    position = 0
    for item in header:
        offset = item.get("offset_bits", position)
        bits = item.get("bits")
        if not (_is_int(offset) and _is_int(bits)):
            break
        if item.get("name") == name:
            return {"offset_bits": offset, "bits": bits}
        position = offset + bits * (item["count"] if _is_int(item.get("count")) else 1)
    raise DefinitionsError(f"{where}: {name!r} names no field of the header with a fixed position")


def _position(where: str, value: Any, header: list[dict[str, Any]], extra: set[str]) -> dict:
    if isinstance(value, str):
        return _field_position(where, header, value)
    table = _check_keys(where, value, {"offset_bits", "bits"} | extra, "it")
    for name in ("offset_bits", "bits"):
        if not _is_int(table.get(name)) or table[name] < 0:
            raise DefinitionsError(f"{where}: {name!r} must be a non-negative integer")
    return dict(table)


def _items(where: str, items: Any, defaults: dict[str, Any]) -> list[dict[str, Any]]:
    if not isinstance(items, list):
        raise DefinitionsError(f"{where}: the layout must be a list of items")
    out = []
    for index, item in enumerate(items):
        if not isinstance(item, dict):
            raise DefinitionsError(f"{where}: item {index} must be a table (a JSON object)")
        out.append({**defaults, **item})
    return out


def from_document(document: Any, source: str, base: Path | None = None) -> Definitions:
    """Definitions from a parsed JSON/TOML document; `source` names it in errors."""
    top = _check_keys(source, document, TOP_LEVEL_KEYS, "the file")
    defaults = top.get("defaults", {})
    if not isinstance(defaults, dict):
        raise DefinitionsError(f"{source}: 'defaults' must be a table of item keys")
    header = _items(f"{source}: header", top.get("header", []), defaults)

    framing = dict(CCSDS_FRAMING)
    framing.update(_check_keys(f"{source}: framing", top.get("framing", {}), FRAMING_KEYS, "it"))
    rules = top.get("rules")
    if rules is not None and not isinstance(rules, dict):
        raise DefinitionsError(f"{source}: 'rules' must be a table of framing rules")
    key = _position(f"{source}: type_field", top.get("type_field", CCSDS_KEY), header, set())
    sequence = top.get("sequence", CCSDS_SEQUENCE)
    if sequence is not None and sequence is not False:
        sequence = _position(f"{source}: sequence", sequence, header, {"modulus"})
        sequence.setdefault("modulus", 1 << sequence["bits"])
    else:
        sequence = None
    try:
        # Checked now, on an empty stream, so that a bad option names this file.
        vantrel.split_packets(b"", **framing, errors="report", rules=rules)
    except (TypeError, ValueError, OverflowError) as error:
        raise DefinitionsError(f"{source}: framing or rules: {error}") from None

    packets_table = top.get("packets")
    if not isinstance(packets_table, dict) or not packets_table:
        raise DefinitionsError(f"{source}: 'packets' must be a table of one or more packet types")
    packets = []
    claimed: dict[int, str] = {}
    _check_type_names(source, list(packets_table))
    for name, entry in packets_table.items():
        where = f"{source}: packet type {name!r}"
        entry = _check_keys(where, entry, PACKET_KEYS, "the packet type")
        keys = _packet_keys(where, entry.get("key"))
        for value in keys or ():
            if value in claimed:
                raise DefinitionsError(
                    f"{where}: key {value} is already the key of packet type {claimed[value]!r}"
                )
            claimed[value] = name
        if "ccsdspy_csv" in entry:
            if "layout" in entry:
                raise DefinitionsError(f"{where}: give 'layout' or 'ccsdspy_csv', not both")
            csv_path = Path(entry["ccsdspy_csv"])
            if base is not None and not csv_path.is_absolute():
                csv_path = base / csv_path
            packets.append(_ccsdspy_packet_type(name, keys, csv_path, where, entry.get("time")))
            continue
        if "layout" not in entry:
            raise DefinitionsError(f"{where}: missing 'layout' (a list of items)")
        items = _items(where, entry["layout"], defaults)
        use_header = entry.get("header", True)
        if not isinstance(use_header, bool):
            raise DefinitionsError(f"{where}: 'header' must be true or false")
        recipe = (header if use_header else []) + items
        options = entry.get("options", {})
        if not isinstance(options, dict):
            raise DefinitionsError(f"{where}: 'options' must be a table of Layout options")
        packets.append(_packet_type(where, name, keys, recipe, options, entry.get("time")))
    return Definitions(source, framing, rules, key, sequence, tuple(packets))


def _check_type_names(source: str, names: list[str]) -> None:
    """Packet type names name output files: plain file names, one per type."""
    try:
        for name in names:
            check_name(name, "packet type")
        check_distinct(names, "packet types")
    except CommandError as error:
        raise DefinitionsError(f"{source}: {error}") from None


def _packet_keys(where: str, value: Any) -> tuple[int, ...] | None:
    if value is None:
        return None
    values = value if isinstance(value, list) else [value]
    if not values or not all(_is_int(v) and v >= 0 for v in values):
        raise DefinitionsError(f"{where}: 'key' must be a non-negative integer or a list of them")
    return tuple(values)


def _packet_type(
    where: str,
    name: str,
    keys: tuple[int, ...] | None,
    recipe: list[dict[str, Any]],
    options: dict[str, Any],
    time: Any,
) -> PacketType:
    units = _units(where, recipe)
    recipe = [{k: v for k, v in item.items() if k != "unit"} for item in recipe]
    try:
        layout = vantrel.Layout(recipe, **options)
    except TypeError as error:
        raise DefinitionsError(f"{where}: {error}") from None
    except ValueError as error:
        raise DefinitionsError(f"{where}: {error}") from None
    codes = {
        item.get("name"): item["convert"].get("scale")
        for item in recipe
        if isinstance(item.get("convert"), dict) and item["convert"].get("type") in TIME_CODES
    }
    states = _state_names(recipe)
    if time is False:
        return PacketType(name, keys, layout, units=units, states=states)
    if time is None:
        # Without a word from the file: the first field that holds a time code.
        time = next(iter(codes), None)
    elif not isinstance(time, str) or time not in layout.names:
        raise DefinitionsError(f"{where}: 'time' names no field of the layout: {time!r}")
    return PacketType(name, keys, layout, time, codes.get(time), units, states)


def _units(where: str, recipe: list[dict[str, Any]]) -> dict[str, str]:
    """The unit of each item that gives one: a label for plots, not a conversion."""
    units = {}
    for item in recipe:
        if "unit" not in item:
            continue
        unit = item["unit"]
        if not isinstance(unit, str) or not unit.strip():
            raise DefinitionsError(
                f"{where}: field {item.get('name')!r}: 'unit' must be a non-empty string, "
                f"not {unit!r}"
            )
        units[item.get("name")] = unit.strip()
    return units


def _state_names(recipe: list[dict[str, Any]]) -> dict[str, tuple[str, ...]]:
    """Each enumeration's names, once each, by raw value; its default name last.

    Called once Layout has accepted the recipe, so the states are integers.
    """
    names = {}
    for item in recipe:
        convert = item.get("convert")
        if not isinstance(convert, dict) or convert.get("type") != "enumeration":
            continue
        ordered = [n for _, n in sorted(convert.get("states", {}).items())]
        if "default" in convert:
            ordered.append(convert["default"])
        names[item["name"]] = tuple(dict.fromkeys(ordered))
    return names


# ccsdspy CSV packet definitions -------------------------------------------------

CCSDSPY_COLUMNS = {"name", "data_type", "bit_length", "bit_offset", "byte_order", "array_shape"}


def _ccsdspy_encoding(data_type: str, bits: int, where: str) -> str:
    if data_type == "uint":
        return "unsigned"
    if data_type == "int":
        return "twos_complement"
    if data_type == "float":
        encodings = {16: "ieee754_f16", 32: "ieee754_f32", 64: "ieee754_f64"}
        if bits not in encodings:
            raise DefinitionsError(f"{where}: a float field must be 16, 32 or 64 bits, not {bits}")
        return encodings[bits]
    if data_type == "str":
        return "iso_8859_1"
    raise DefinitionsError(
        f"{where}: unknown data_type {data_type!r} (known: uint, int, float, str, fill)"
    )


def read_ccsdspy_csv(path: str | Path, where: str | None = None) -> list[dict[str, Any]]:
    """The recipe of a ccsdspy CSV packet definition, primary header included.

    Columns: name, data_type, bit_length, and optionally bit_offset,
    byte_order and array_shape; an array's shape may also follow the type
    in parentheses, as ccsdspy writes it ("uint(4)", "int(expand)",
    "uint(count_field)"). The header fields get ccsdspy's names (CCSDS_APID,
    ...); bit offsets count from the packet's first bit, as in ccsdspy, and
    fields without one follow the previous field, the first one the header.
    "fill" fields are skipped (the next field keeps its place).
    """
    path = Path(path)
    where = where or str(path)
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as error:
        raise DefinitionsError(f"{where}: cannot read {path}: {error.strerror}") from None
    reader = csv.DictReader(line for line in text.splitlines() if line.strip())
    columns = {c.strip() for c in reader.fieldnames or ()}
    missing = {"name", "data_type", "bit_length"} - columns
    if missing:
        raise DefinitionsError(
            f"{where}: {path.name} lacks the column(s) {', '.join(sorted(missing))}"
        )
    unknown = columns - CCSDSPY_COLUMNS
    if unknown:
        raise DefinitionsError(
            f"{where}: {path.name} has unknown column(s) {', '.join(sorted(unknown))}"
        )
    recipe = [
        {"name": n, "encoding": "unsigned", "bits": b, "byte_order": "big", "reverse_bits": False}
        for n, b in CCSDSPY_HEADER_NAMES
    ]
    position = 48
    for row_number, row in enumerate(reader, 2):
        row = {k.strip(): (v or "").strip() for k, v in row.items() if k}
        item_where = f"{where}: {path.name} line {row_number} ({row.get('name', '')!r})"
        try:
            bits = int(row["bit_length"])
            offset = int(row["bit_offset"]) if row.get("bit_offset") else position
        except ValueError:
            raise DefinitionsError(
                f"{item_where}: bit_length and bit_offset must be integers"
            ) from None
        data_type, _, shape = row["data_type"].partition("(")
        data_type = data_type.strip().lower()
        # The shape may name a count field: its case is the field's own.
        shape = shape.rstrip(")").strip() or row.get("array_shape", "")
        count: int | str = 1
        if shape:
            if shape.isdigit():
                count = int(shape)
            elif shape == "expand":
                count = "*"
            elif "," in shape:
                raise DefinitionsError(
                    f"{item_where}: arrays of more than one dimension are not supported"
                )
            else:
                count = shape  # the name of an earlier count field
        position = offset + bits * (count if isinstance(count, int) else 1)
        if data_type == "fill":
            continue
        item: dict[str, Any] = {
            "name": row["name"],
            "encoding": _ccsdspy_encoding(data_type, bits, item_where),
            "bits": bits,
            "byte_order": row.get("byte_order") or "big",
            "reverse_bits": False,
            "offset_bits": offset,
        }
        if shape:
            item["count"] = count
        recipe.append(item)
    return recipe


def _ccsdspy_packet_type(
    name: str,
    keys: tuple[int, ...] | None,
    path: Path,
    where: str,
    time: Any = None,
) -> PacketType:
    return _packet_type(where, name, keys, read_ccsdspy_csv(path, where), {}, time)
