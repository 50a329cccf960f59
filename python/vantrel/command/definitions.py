"""Definitions files: the packet types of an archive and how to frame it.

A definitions file (JSON or TOML) holds one layout per packet type, plus
optional framing, framing rules, the header field that tells the types apart
and a shared header. Layout items are recipe items and go to `vantrel.Layout`
after the file's `defaults` fill the keys an item leaves out (a default
"pad" only text items, a default "keep_raw" only converted ones); any key a
layout accepts works here, an enumeration's states keyed by the integers'
text ("0", "0x1F"). A ccsdspy CSV packet definition is read as a file of
one packet type (see `read_ccsdspy_csv`); what it holds that is not used
is listed in `Definitions.notes`.

Every error is a `DefinitionsError` whose message starts with the file, then
the packet type and the item where there is one, numbered as the file
numbers them ("header item 2", "layout item 0").
"""

from __future__ import annotations

import csv
import functools
import json
import re
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
    # What was read but not used (a ccsdspy CSV's extra columns), one line each.
    notes: tuple[str, ...] = ()

    def packet_type(self, name: str) -> PacketType:
        for packet in self.packets:
            if packet.name == name:
                return packet
        raise KeyError(name)


def load_or_ccsds(path: str | Path | None) -> Definitions:
    """The definitions in `path`, or, without one, CCSDS space packets of no known type."""
    return load(path) if path else Definitions(source="CCSDS space packets")


def load(path: str | Path, *, keep_raw: bool = False) -> Definitions:
    """Read a definitions file: .json, .toml, or a ccsdspy .csv packet definition.

    With `keep_raw`, every converted field also gives its raw values, as
    name_raw (the items' "keep_raw", the command's --raw).
    """
    path = Path(path)
    suffix = path.suffix.lower()
    if suffix == ".csv":
        _check_type_names(str(path), [path.stem])
        notes: list[str] = []
        packet = _ccsdspy_packet_type(path.stem, None, path, str(path), notes=notes)
        return Definitions(source=str(path), packets=(packet,), notes=tuple(notes))
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
        except RecursionError:
            raise DefinitionsError(f"{path}: not valid JSON: nested too deeply") from None
    else:
        raise DefinitionsError(
            f"{path}: unknown definitions format {suffix or '(no suffix)'!r}: "
            "use .json, .toml or a ccsdspy .csv"
        )
    return from_document(document, str(path), base=path.parent, keep_raw=keep_raw)


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
    except RecursionError:
        raise DefinitionsError(f"{path}: not valid TOML: nested too deeply") from None


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


def _items(
    where: str, items: Any, defaults: dict[str, Any], label: str = "layout item"
) -> list[dict[str, Any]]:
    if not isinstance(items, list):
        raise DefinitionsError(f"{where}: the {label.split()[0]} must be a list of items")
    out = []
    for index, item in enumerate(items):
        if not isinstance(item, dict):
            raise DefinitionsError(f"{where}: {label} {index} must be a table (a JSON object)")
        merged = {**defaults, **item}
        if "pad" in defaults and "pad" not in item and not _is_text(merged.get("encoding")):
            del merged["pad"]  # a default pad is for the text fields
        if "keep_raw" in defaults and "keep_raw" not in item and "convert" not in merged:
            del merged["keep_raw"]  # and a default keep_raw for the converted ones
        if isinstance(merged.get("convert"), dict):
            merged["convert"] = _file_conversion(f"{where}: {label} {index}", merged["convert"])
        out.append(merged)
    return out


@functools.cache
def _is_text(encoding: Any) -> bool:
    """Whether `encoding` names a text encoding, as Layout itself tells:
    only text fields take "pad"."""
    if not isinstance(encoding, str):
        return False
    probe = {"name": "x", "encoding": encoding, "bits": 8, "byte_order": "big"}
    try:
        vantrel.Layout([{**probe, "reverse_bits": False, "pad": "nul"}])
    except ValueError as error:
        return not str(error).endswith("pad is for text fields")
    return True


def _file_conversion(where: str, convert: dict[str, Any]) -> dict[str, Any]:
    """A conversion as a file can write it, made what Layout takes: the
    states of an enumeration are keyed by strings in TOML and JSON ("0",
    "-3", "0x1F", "0b101"), which become the integers they write."""
    states = convert.get("states")
    if convert.get("type") != "enumeration" or not isinstance(states, dict):
        return convert
    keyed = {}
    for key, name in states.items():
        keyed[_state_value(where, key)] = name
    return {**convert, "states": keyed}


def _state_value(where: str, key: Any) -> Any:
    if not isinstance(key, str):
        return key  # Layout says what is wrong with it
    text = key.strip().replace("_", "")
    try:
        return int(text, 10) if text.lstrip("+-").isdigit() else int(text, 0)
    except ValueError:
        raise DefinitionsError(
            f"{where}: convert: state value {key!r} is not an integer "
            '(write it as "5", "-3", "0x1F" or "0b101")'
        ) from None


def from_document(
    document: Any, source: str, base: Path | None = None, *, keep_raw: bool = False
) -> Definitions:
    """Definitions from a parsed JSON/TOML document; `source` names it in
    errors. `keep_raw` as for `load`."""
    top = _check_keys(source, document, TOP_LEVEL_KEYS, "the file")
    defaults = top.get("defaults", {})
    if not isinstance(defaults, dict):
        raise DefinitionsError(f"{source}: 'defaults' must be a table of item keys")
    _check_defaults(source, defaults)
    if keep_raw:
        defaults = {**defaults, "keep_raw": True}  # for the converted items, as below
    header = _items(source, top.get("header", []), defaults, "header item")

    framing = dict(CCSDS_FRAMING)
    framing.update(_check_keys(f"{source}: framing", top.get("framing", {}), FRAMING_KEYS, "it"))
    rules = top.get("rules")
    if rules is not None and not isinstance(rules, dict):
        raise DefinitionsError(f"{source}: 'rules' must be a table of framing rules")
    key = _position(f"{source}: type_field", top.get("type_field", CCSDS_KEY), header, set())
    _check_header_field(f"{source}: type_field", key)
    sequence = top.get("sequence", CCSDS_SEQUENCE)
    if sequence is not None and sequence is not False:
        sequence = _position(f"{source}: sequence", sequence, header, {"modulus"})
        _check_header_field(f"{source}: sequence", sequence)
        sequence.setdefault("modulus", 1 << sequence["bits"])
        _check_modulus(f"{source}: sequence", sequence)
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
    notes: list[str] = []
    claimed: dict[int, str] = {}
    _check_type_names(source, list(packets_table))
    for name, entry in packets_table.items():
        where = f"{source}: packet type {name!r}"
        entry = _check_keys(where, entry, PACKET_KEYS, "the packet type")
        keys = _packet_keys(where, entry.get("key"))
        for value in keys or ():
            if value >> key["bits"]:
                raise DefinitionsError(
                    f"{where}: key {value} does not fit the type field of {key['bits']} bits"
                )
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
            packets.append(
                _ccsdspy_packet_type(name, keys, csv_path, where, entry.get("time"), notes)
            )
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
        packets.append(
            _packet_type(
                where, name, keys, recipe, options, entry.get("time"), len(recipe) - len(items)
            )
        )
    longest = longest_packet(framing, rules)
    for packet in packets:
        if packet.layout.size_bytes > longest:
            raise DefinitionsError(
                f"{source}: packet type {packet.name!r}: its layout needs packets of at least "
                f"{packet.layout.size_bytes:,} bytes, longer than the framing allows "
                f"({longest:,} bytes)"
            )
    return Definitions(source, framing, rules, key, sequence, tuple(packets), tuple(notes))


# The widest header field the command reads as a number (a type field, a counter).
MAX_FIELD_BITS = 64
MAX_MODULUS = 1 << 62  # what check_sequence_counts takes


def _check_header_field(where: str, position: dict[str, int]) -> None:
    """A type field or counter: 1 to 64 bits at a place a layout can read."""
    if not 1 <= position["bits"] <= MAX_FIELD_BITS:
        raise DefinitionsError(
            f"{where}: 'bits' must be from 1 to {MAX_FIELD_BITS}, not {position['bits']}"
        )
    item = {"name": "field", "encoding": "unsigned", "byte_order": "big", "reverse_bits": False}
    try:
        vantrel.Layout([{**item, "bits": position["bits"], "offset_bits": position["offset_bits"]}])
    except (TypeError, ValueError, OverflowError) as error:
        raise DefinitionsError(f"{where}: {error}") from None


def _check_modulus(where: str, sequence: dict[str, int]) -> None:
    modulus = sequence["modulus"]
    if not _is_int(modulus) or not 2 <= modulus <= min(1 << sequence["bits"], MAX_MODULUS):
        limit = "2**62" if sequence["bits"] > 62 else f"2**{sequence['bits']} (the field's width)"
        raise DefinitionsError(
            f"{where}: 'modulus' must be an integer from 2 to {limit}, not {modulus!r}"
        )


def longest_packet(framing: dict[str, Any], rules: dict[str, Any] | None) -> int:
    """The longest packet, in bytes, that the framing (and its rules) allow."""
    return (rules or {}).get("max_length") or (
        (1 << framing["length_bits"]) - 1 + framing.get("length_adjust", 0)
    )


def _check_type_names(source: str, names: list[str]) -> None:
    """Packet type names name output files: plain file names, one per type."""
    try:
        for name in names:
            check_name(name, "packet type")
        check_distinct(names, "packet types")
    except CommandError as error:
        raise DefinitionsError(f"{source}: {error}") from None


def _file_numbers(message: str, header_items: int) -> str:
    """Layout's message with its item numbers as the file counts them: the
    header's items, then the type's own layout items, each from 0."""

    def renumber(match: re.Match) -> str:
        index = int(match.group(1))
        if index < header_items:
            return f"header item {index}"
        return f"layout item {index - header_items}"

    return re.sub(r"recipe item (\d+)", renumber, message)


def _check_defaults(source: str, defaults: dict[str, Any]) -> None:
    """Refuses a key of `defaults` that no recipe item knows, here, rather
    than in the first item it fills."""
    probe = {"name": "x", "encoding": "unsigned", "bits": 8, "byte_order": "big"}
    for key, value in defaults.items():
        if key == "unit":  # the file's own item key, taken out before Layout
            continue
        try:
            vantrel.Layout([{**probe, "reverse_bits": False, key: value}])
        except (TypeError, ValueError) as error:
            _, found, rest = str(error).partition(f"unknown key {key!r}")
            if found:
                raise DefinitionsError(f"{source}: defaults: {found}{rest}") from None


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
    header_items: int = 0,
) -> PacketType:
    units = _units(where, recipe)
    recipe = [{k: v for k, v in item.items() if k != "unit"} for item in recipe]
    try:
        layout = vantrel.Layout(recipe, **options)
    except (TypeError, ValueError, OverflowError) as error:
        raise DefinitionsError(f"{where}: {_file_numbers(str(error), header_items)}") from None
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
# The most raw values a calibration's states may name, ranges expanded.
CALIBRATION_STATE_LIMIT = 1 << 16


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


def ccsdspy_byte_order(order: str) -> str:
    """vantrel's byte_order for what ccsdspy means by `order`.

    "big" and "little" mean the same in both. A permutation string means
    something else: vantrel's digit m names the stored place (from 1) of the
    byte of significance m, most significant first; ccsdspy reads the string
    reversed, each digit d naming the place n + 1 - d. So ccsdspy's "2341"
    is vantrel's "4123": on the stored bytes 01 02 03 04 both give 0x04010203.
    Strings that are their own mirror ("21", "4321", "2143", "3412") are the
    same in both.
    """
    if not order.isdigit():
        return order
    n = len(order)
    return "".join(str(n + 1 - int(digit)) for digit in reversed(order))


def _little_endian_as_ccsdspy_reads_it(offset: int | None, bits: int, where: str) -> None:
    """Refuse a little-endian integer field that ccsdspy reads otherwise.

    ccsdspy extracts the field's bits from the bytes they touch, then swaps
    the bytes of the result as an integer of 1, 2, 4 or 8 bytes. That is the
    little-endian value only for whole 2, 4 or 8 bytes on a byte boundary, or
    for bits within one byte (nothing to swap); anything else (12 bits,
    3 bytes, 16 bits from bit 4) comes out byte-swapped across the bits'
    boundaries, which no vantrel field reads, so it is an error, not a column
    of other values. Offsets after a variable array are not known here.
    """
    whole_words = bits in (16, 32, 64) and (offset is None or offset % 8 == 0)
    one_byte = offset is not None and bits <= 8 and offset // 8 == (offset + bits - 1) // 8
    if whole_words or one_byte or (offset is None and bits <= 8):
        return
    raise DefinitionsError(
        f"{where}: ccsdspy reads a little-endian field of {bits} bits"
        + (f" at bit {offset}" if offset is not None else "")
        + " by byte-swapping the bits it extracts, which gives no value vantrel reads; "
        "describe the field in a .toml or .json definition, as a bit field of its word "
        "(word_bits) if it is one"
    )


def _calibration(text: str, data_type: str, bits: int) -> dict[str, Any] | str:
    """The conversion a calibration cell holds, or why it cannot be used.

    Two forms, as JSON tables: states ({"0": "OFF", "[1,3]": "ON"}: a value
    or an inclusive range of values, each with a name) for integer fields,
    and polynomials ({"0": c0, "1": c1, "2": c2}: the coefficient of each
    power of the raw value) for any numeric field.
    """
    try:
        table = json.loads(text)
    except json.JSONDecodeError:
        table = None
    if not isinstance(table, dict) or not table:
        return "it is not a JSON table of states or polynomial coefficients"
    values = list(table.values())
    if all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in values):
        if not all(key.strip().isdigit() for key in table):
            return "a polynomial's keys must be the powers 0, 1, 2, ..."
        coefficients = [0.0] * (max(int(key) for key in table) + 1)
        for key, value in table.items():
            coefficients[int(key)] = float(value)
        return {"type": "polynomial", "coefficients": coefficients}
    if data_type not in ("uint", "int"):
        return "only integer fields take state names"
    states = _calibration_states(table, bits, data_type == "int")
    return {"type": "enumeration", "states": states} if isinstance(states, dict) else states


def _calibration_states(table: dict[str, Any], bits: int, signed: bool) -> dict[int, str] | str:
    low, high = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    states: dict[int, str] = {}
    for key, name in table.items():
        if not isinstance(name, str):
            return f"the state of {key!r} is not a name (states and coefficients are mixed)"
        try:
            bounds = json.loads(key) if key.lstrip().startswith("[") else int(key, 0)
        except ValueError:
            return f"{key!r} is neither a value nor a [low, high] range"
        first, last = bounds if isinstance(bounds, list) and len(bounds) == 2 else (bounds, bounds)
        if not (_is_int(first) and _is_int(last)) or first > last:
            return f"{key!r} is neither a value nor a [low, high] range"
        if first < low or last > high:
            return f"{key!r} does not fit a {bits}-bit field"
        if len(states) + last - first + 1 > CALIBRATION_STATE_LIMIT:
            return f"its ranges name more than {CALIBRATION_STATE_LIMIT:,} values"
        states.update(dict.fromkeys(range(first, last + 1), name))
    return states


def read_ccsdspy_csv(
    path: str | Path, where: str | None = None, notes: list[str] | None = None
) -> list[dict[str, Any]]:
    """The recipe of a ccsdspy CSV packet definition, primary header included.

    Columns: name, data_type, bit_length, and optionally bit_offset,
    byte_order, calibration and array_shape; an array's shape may also
    follow the type in parentheses, as ccsdspy writes it ("uint(4)",
    "int(12, 24)", "int(expand)", "uint(count_field)"). The header fields get
    ccsdspy's names (CCSDS_APID, ...). Fields are placed as ccsdspy places
    them: bit offsets count from the packet's first bit; a field without one
    follows the furthest end so far (the header's, first); after a variable
    array each field follows the one before it in every packet, and the
    fields after an "expand" array end with the packet. "fill" fields take
    their place and make no column (after a variable array, where nothing
    else keeps their place, they make one). byte_order is read as ccsdspy's
    PacketField reads it (`ccsdspy_byte_order`); a calibration cell becomes
    the item's conversion where vantrel has one (`_calibration`). Other
    columns are ignored; what is ignored or not used is added to `notes`.
    """
    path = Path(path)
    where = where or str(path)
    notes = [] if notes is None else notes
    try:
        text = path.read_text(encoding="utf-8-sig")
    except OSError as error:
        raise DefinitionsError(f"{where}: cannot read {path}: {error.strerror}") from None
    reader = csv.DictReader(
        (line for line in text.splitlines() if line.strip()), skipinitialspace=True
    )
    columns = {c.strip() for c in reader.fieldnames or ()}
    missing = {"name", "data_type", "bit_length"} - columns
    if missing:
        raise DefinitionsError(
            f"{where}: {path.name} lacks the column(s) {', '.join(sorted(missing))}"
        )
    unknown = columns - CCSDSPY_COLUMNS - {"calibration"}
    if unknown:
        notes.append(
            f"{where}: {path.name}: column(s) {', '.join(sorted(unknown))} ignored, as ccsdspy "
            "ignores them"
        )
    recipe = [
        {"name": n, "encoding": "unsigned", "bits": b, "byte_order": "big", "reverse_bits": False}
        for n, b in CCSDSPY_HEADER_NAMES
    ]
    furthest = 48  # ccsdspy's counter: the furthest end so far
    variable: str | None = None  # the first variable array's name, once there is one
    for row_number, row in enumerate(reader, 2):
        row = {k.strip(): (v or "").strip() for k, v in row.items() if k}
        item_where = f"{where}: {path.name} line {row_number} ({row.get('name', '')!r})"
        try:
            bits = int(row["bit_length"])
            offset = int(row["bit_offset"]) if row.get("bit_offset") else None
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
            if shape == "expand":
                count = "*"
            elif all(part.strip().isdigit() for part in shape.split(",")):
                # ccsdspy's many dimensions, in its (row-major) order: one array.
                count = 1
                for part in shape.split(","):
                    count *= int(part)
            elif "," in shape:
                raise DefinitionsError(f"{item_where}: array shape {shape!r} is not understood")
            else:
                count = shape  # the name of an earlier count field
        if offset is not None and variable is not None:
            raise DefinitionsError(
                f"{item_where}: a bit_offset after the variable array {variable!r} cannot say "
                "where the field is in every packet (ccsdspy refuses bit offsets in variable "
                "packets); leave it empty"
            )
        item: dict[str, Any] = {"name": row["name"], "bits": bits, "reverse_bits": False}
        if variable is None:
            # Before any variable array every field has its place, as in ccsdspy.
            start = furthest if offset is None else offset
            item["offset_bits"] = start
            furthest = max(furthest, start + bits * (count if isinstance(count, int) else 0))
        if isinstance(count, str):
            variable = variable or row["name"]
        if data_type == "fill":
            if variable is None:
                continue
            # Nothing but a field keeps its place after a variable array.
            data_type = "str" if bits % 8 == 0 else "uint"  # ccsdspy gives its bytes
            notes.append(f"{item_where}: a fill after a variable array makes a column")
        item["encoding"] = _ccsdspy_encoding(data_type, bits, item_where)
        order = row.get("byte_order") or "big"
        if order == "little" and data_type in ("uint", "int"):
            _little_endian_as_ccsdspy_reads_it(item.get("offset_bits"), bits, item_where)
        item["byte_order"] = ccsdspy_byte_order(order) if data_type != "str" else "big"
        if data_type == "str":
            item["pad"] = "nul"  # ccsdspy's bytes lose their trailing NULs
        if shape:
            item["count"] = count
        calibration = row.get("calibration", "")
        if calibration:
            conversion = (
                _calibration(calibration, data_type, bits)
                if data_type in ("uint", "int", "float")
                else "only numeric fields take calibrations"
            )
            if isinstance(conversion, dict):
                item["convert"] = conversion
                item["keep_raw"] = True  # name_raw: ccsdspy's value
            else:
                notes.append(f"{item_where}: calibration not used: {conversion}")
        recipe.append(item)
    return recipe


def _ccsdspy_packet_type(
    name: str,
    keys: tuple[int, ...] | None,
    path: Path,
    where: str,
    time: Any = None,
    notes: list[str] | None = None,
) -> PacketType:
    recipe = read_ccsdspy_csv(path, where, notes)
    return _packet_type(where, name, keys, recipe, {}, time, len(CCSDSPY_HEADER_NAMES))
