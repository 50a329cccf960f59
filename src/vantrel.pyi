"""Type information and documentation for the vantrel extension module.

Bit-level encodings of telemetry parameters: integers, BCD, IEEE 754 floats
and text, packed into and unpacked from binary packets. The runtime functions
carry no docstrings of their own; their documentation lives here, where
editors and type checkers show it.

Conventions used below:

- A *pattern* is a field's bits as a non-negative int, right-aligned: bit 0
  is the field's least significant bit. Encoders return one, the numeric
  decoders take one (not bytes).
- Integer arguments accept an int or any object with ``__index__``; a bool
  counts as an int.
- Number arguments accept a float or anything ``float()`` accepts, ints
  included.
- Every parameter may be given by position or by keyword.

``RecipeItem`` is importable at run time (there it is ``dict``), so it can
annotate a recipe held in a variable: ``recipe: list[RecipeItem] = [...]``.
The names ``Encoding``, ``PackEncoding``, ``ByteOrder``, ``UnpackedValue``,
``HeaderRule``, ``FramingRules``, ``Conversion`` (with ``TimeScale`` and the
six ``...Conversion`` dicts) exist for type checking only: import them under
``typing.TYPE_CHECKING``.
"""

import datetime
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, ClassVar, NoReturn, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt
from typing_extensions import (
    Buffer,
    Literal,
    NotRequired,
    TypeAlias,
    TypedDict,
    final,
    overload,
)

__version__: str
__all__ = [
    "unpack_parameters",
    "pack_parameters",
    "decode_ones_complement",
    "decode_twos_complement",
    "decode_sign_magnitude",
    "decode_unpacked_bcd",
    "decode_packed_bcd",
    "decode_ieee754_f16",
    "decode_ieee754_f32",
    "decode_ieee754_f64",
    "decode_ieee754_f128",
    "decode_ieee754_1985_f32",
    "decode_ieee754_1985_f64",
    "decode_ieee754_1985_f80",
    "decode_mil_std_1750a_f32",
    "decode_mil_std_1750a_f48",
    "decode_dec_f32",
    "decode_dec_f64",
    "decode_ibm_f32",
    "decode_ibm_f64",
    "decode_ti_f32",
    "decode_ti_f40",
    "decode_us_ascii",
    "decode_iso_8859_1",
    "decode_windows_1252",
    "decode_utf8",
    "decode_utf16",
    "decode_utf16le",
    "decode_utf16be",
    "decode_utf32",
    "decode_utf32le",
    "decode_utf32be",
    "encode_ones_complement",
    "encode_twos_complement",
    "encode_sign_magnitude",
    "encode_unpacked_bcd",
    "encode_packed_bcd",
    "encode_ieee754_f16",
    "encode_ieee754_f32",
    "encode_ieee754_f64",
    "encode_ieee754_f128",
    "encode_ieee754_1985_f32",
    "encode_ieee754_1985_f64",
    "encode_ieee754_1985_f80",
    "encode_mil_std_1750a_f32",
    "encode_mil_std_1750a_f48",
    "encode_dec_f32",
    "encode_dec_f64",
    "encode_ibm_f32",
    "encode_ibm_f64",
    "encode_ti_f32",
    "encode_ti_f40",
    "encode_us_ascii",
    "encode_iso_8859_1",
    "encode_windows_1252",
    "encode_utf8",
    "encode_utf16",
    "encode_utf16le",
    "encode_utf16be",
    "encode_utf32",
    "encode_utf32le",
    "encode_utf32be",
]

PackEncoding: TypeAlias = Literal[
    "unsigned", "UNSIGNED", "Unsigned",
    "twos_complement", "TWOS_COMPLEMENT", "Twos_Complement",
    "ones_complement", "ONES_COMPLEMENT", "Ones_Complement",
    "sign_magnitude", "SIGN_MAGNITUDE", "Sign_Magnitude",
    "packed_bcd", "PACKED_BCD", "Packed_Bcd",
    "packed_bcd_signed", "PACKED_BCD_SIGNED", "Packed_Bcd_Signed",
    "unpacked_bcd", "UNPACKED_BCD", "Unpacked_Bcd",
    "unpacked_bcd_signed", "UNPACKED_BCD_SIGNED", "Unpacked_Bcd_Signed",
    "ieee754_f16", "IEEE754_F16", "Ieee754_F16",
    "ieee754_f32", "IEEE754_F32", "Ieee754_F32",
    "ieee754_f64", "IEEE754_F64", "Ieee754_F64",
    "utf8", "UTF8", "Utf8",
    "utf16", "UTF16", "Utf16",
    "utf16be", "UTF16BE", "Utf16Be",
    "utf16le", "UTF16LE", "Utf16Le",
    "utf32", "UTF32", "Utf32",
    "utf32be", "UTF32BE", "Utf32Be",
    "utf32le", "UTF32LE", "Utf32Le",
    "us_ascii", "US_ASCII", "Us_Ascii",
    "iso_8859_1", "ISO_8859_1", "Iso_8859_1",
    "latin1", "LATIN1", "Latin1",
    "windows_1252", "WINDOWS_1252", "Windows_1252",
]
"""The 22 encoding names that packing accepts. They are matched
case-insensitively at run time; the types list each name in lower case, upper
case and title case (``"utf8"``, ``"UTF8"``, ``"Utf8"``). Other mixtures run
too but need a ``cast``."""

Encoding: TypeAlias = Literal[
    PackEncoding,
    "ieee754_f128", "IEEE754_F128", "Ieee754_F128",
    "ieee754_1985_f32", "IEEE754_1985_F32", "Ieee754_1985_F32",
    "ieee754_1985_f64", "IEEE754_1985_F64", "Ieee754_1985_F64",
    "ieee754_1985_f80", "IEEE754_1985_F80", "Ieee754_1985_F80",
    "mil_std_1750a_f32", "MIL_STD_1750A_F32", "Mil_Std_1750A_F32",
    "mil_std_1750a_f48", "MIL_STD_1750A_F48", "Mil_Std_1750A_F48",
    "ibm_f32", "IBM_F32", "Ibm_F32",
    "ibm_f64", "IBM_F64", "Ibm_F64",
    "ti_f32", "TI_F32", "Ti_F32",
    "ti_f40", "TI_F40", "Ti_F40",
    "dec_f32", "DEC_F32", "Dec_F32",
    "dec_f64", "DEC_F64", "Dec_F64",
]
"""The 34 encoding names that unpacking accepts: the 22 of packing, then
"ieee754_f128" (named, but every such field fails with ValueError: use
``decode_ieee754_f128`` on the field read as "unsigned" halves) and eleven
names that always fail with NotImplementedError."""

ByteOrder: TypeAlias = Literal["big", "little", "BIG", "LITTLE", "Big", "Little"]
"""Byte order of a field, matched case-insensitively at run time (like
encoding names, three spellings are typed)."""

UnpackedValue: TypeAlias = int | float | str
"""A decoded field: int for integer and BCD encodings, float for IEEE 754,
str for text."""

class RecipeItem(TypedDict):
    """One field of a packet recipe (a plain dict at run time; other keys are
    ignored).

    Keys:
        name: The parameter's name; the key of the unpacked value.
        encoding: How the value is encoded (see ``Encoding``).
        bits: Field width in bits, 0 to 2**32 - 1. Always the item's own
            width, whatever the encoding: text shorter than the field is
            right-aligned behind NUL bytes, longer text keeps its tail.
        byte_order: "big" or "little". "little" reverses the field's bytes
            (a field of 8 bits or fewer is unchanged).
        reverse_bits: Mirror the field's bits (bit 0 becomes bit w - 1).
            Has no effect on text fields, but must still be a bool.
        offset_bits: Optional absolute start of the field in bits (counted
            from the call's offset when unpacking). Absent: the field follows
            the previous one.
        value: The value to pack (ignored when unpacking): an int for the
            integer and BCD encodings, a number for IEEE 754, a str for text.

    Keys that only ``Layout`` reads (the packet functions ignore them):
        count: The field is an array: a number of values, the name of an
            earlier unsigned field holding the number, or "*" for as many
            values as the rest of the packet holds.
        word_bits: 16 or 32: the field is a bit field of a word stored
            little-endian (byte_order "little"); offset_bits and the field's
            position count from the word's most significant bit.
        pad: How a text field is padded to its width: "nul" or "space"
            after the text, "leading_nul" or "leading_space" before it.
            Values are read without the padding and packed with it.
        keep_raw: With a convert: the raw values too, as a field named
            name + "_raw" after the recipe's fields (never packed).
        convert: The field's engineering value, a ``Conversion``
            (calibration, state names or time code; docs/conversions.md).
            Calibrations, state names and time codes convert every
            element of an array.
        check: The field is a CRC or checksum of bytes of its packet
            (docs/checks.md): a catalogue name such as "CRC-16/IBM-3740",
            or a ``CheckSpec``. unpack/unpack_many verify it, pack/pack_many
            compute it when its value is omitted.

    ``Layout`` also takes byte_order as a permutation of the field's bytes
    ("2143", "3412", "78563412"): digit m says where the byte of
    significance m (most significant first) is stored, counting from 1
    ("2341" reads 01 02 03 04 as 0x02030401).
    """

    name: str
    encoding: Encoding
    bits: int
    byte_order: ByteOrder
    reverse_bits: bool
    offset_bits: NotRequired[int]
    value: NotRequired[int | float | str]
    count: NotRequired[int | str]
    word_bits: NotRequired[Literal[16, 32]]
    pad: NotRequired[Literal["nul", "space", "leading_nul", "leading_space"]]
    keep_raw: NotRequired[bool]

    convert: NotRequired[Conversion]
    check: NotRequired[str | CheckSpec]

class CrcParameters(TypedDict, total=False):
    """A check by name ("algorithm") or by the parameters of a Rocksoft-model
    CRC (docs/checks.md)."""

    algorithm: str
    width: int
    poly: int
    init: int
    refin: bool
    refout: bool
    xorout: int

class CheckSpec(CrcParameters, total=False):
    """A check field's algorithm, optionally over the bytes [start, stop) of
    the layout (default: from its first byte up to the check field)."""

    start: int
    stop: int

class PolynomialConversion(TypedDict):
    """c0 + c1*raw + ... + cn*raw**n in float64, by Horner's rule. Packing
    takes the raw value, or with ``invert`` the engineering value: the raw
    value in ``raw_range`` (default: every raw value of an integer field)
    whose calibration lies closest to it. An inverted polynomial must only
    rise or only fall over that range; the layout refuses one that turns."""

    type: Literal["polynomial"]
    coefficients: Sequence[float]
    invert: NotRequired[bool]
    raw_range: NotRequired[tuple[float, float] | Sequence[float]]

class LinearConversion(TypedDict):
    """slope * raw + intercept in float64. Packing inverts it: the nearest
    raw value (ties to even) for integer fields."""

    type: Literal["linear"]
    slope: float
    intercept: NotRequired[float]

class TableConversion(TypedDict):
    """Straight lines between (raw, value) points, raw values increasing, as
    ``numpy.interp``. Outside the points: "error" (default: a failure, masked
    under errors="mask"), "clamp" (the end point's value) or "extrapolate"
    (the end segment continued). Packing takes the raw value, or with
    ``invert`` (values strictly rising or falling) the engineering value,
    interpolated back to the raw value whose calibration lies closest."""

    type: Literal["table"]
    points: Sequence[tuple[float, float] | Sequence[float]]
    outside: NotRequired[Literal["error", "clamp", "extrapolate"]]
    invert: NotRequired[bool]

class EnumerationConversion(TypedDict):
    """Raw integer to state name. A value without a name fails (masked under
    errors="mask") unless ``default`` names it. Packing takes a name (its
    smallest raw value) or a raw int."""

    type: Literal["enumeration"]
    states: Mapping[int, str]
    default: NotRequired[str]

class CucConversion(TypedDict):
    """A CCSDS unsegmented time code: whole seconds and binary fractions
    since the epoch. The field is "unsigned", big-endian, unmirrored and
    exactly as wide as the code (P-field included)."""

    type: Literal["cuc"]
    scale: TimeScale
    coarse_octets: NotRequired[Literal[1, 2, 3, 4]]
    fine_octets: NotRequired[Literal[0, 1, 2, 3]]
    p_field: NotRequired[bool]
    epoch: NotRequired[str | datetime.datetime | datetime.date]
    epoch_scale: NotRequired[TimeScale]
    leap_seconds: NotRequired[Sequence[tuple[str | datetime.date, int]]]

class CdsConversion(TypedDict):
    """A CCSDS day-segmented time code: days, milliseconds of the day and
    optionally microseconds (2 octets) or picoseconds (4 octets)."""

    type: Literal["cds"]
    scale: TimeScale
    day_octets: NotRequired[Literal[2, 3]]
    submillisecond_octets: NotRequired[Literal[0, 2, 4]]
    p_field: NotRequired[bool]
    epoch: NotRequired[str | datetime.datetime | datetime.date]
    epoch_scale: NotRequired[TimeScale]
    leap_seconds: NotRequired[Sequence[tuple[str | datetime.date, int]]]

TimeScale: TypeAlias = Literal["TAI", "UTC", "tai", "utc"]
Conversion: TypeAlias = (
    PolynomialConversion
    | LinearConversion
    | TableConversion
    | EnumerationConversion
    | CucConversion
    | CdsConversion
)

class PacketLength(TypedDict):
    """Where every packet's header gives its total length in bytes:
    ``value + adjust`` of the unsigned field of ``bits`` bits at
    ``offset_bits`` (for CCSDS: 32, 16 and 7), as ``split_packets`` reads it."""

    offset_bits: int
    bits: int
    adjust: NotRequired[int]
    byte_order: NotRequired[Literal["big", "little"]]

@final
class RaggedColumn:
    """The column of a variable-length array field: ``values`` cut into one
    entry per packet by ``offsets``, with no object per packet. Made by
    ``Layout.unpack_many``; ``pyarrow.array(column)`` and polars take it as
    an Arrow large list array without copying the values."""

    @property
    def values(self) -> npt.NDArray[Any]:
        """Every value of every entry, in one read-only 1-D array."""
    @property
    def offsets(self) -> npt.NDArray[np.int64]:
        """len(self) + 1 entries: entry i is values[offsets[i]:offsets[i + 1]]."""
    @property
    def mask(self) -> npt.NDArray[np.bool_] | None:
        """True where an entry failed (errors="mask"); None when none did."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: SupportsIndex, /) -> npt.NDArray[Any] | None:
        """Entry ``index`` as a view of ``values``; None when it is masked."""
    def __iter__(self) -> Iterator[npt.NDArray[Any] | None]: ...
    def to_list(self) -> list[npt.NDArray[Any] | None]:
        """The entries as a list of views (None for masked entries)."""
    def __arrow_c_array__(
        self, requested_schema: object | None = None
    ) -> tuple[object, object]:
        """The Arrow PyCapsule interface: (schema, array) capsules of a
        large list array sharing ``values`` (datetime64 values as
        timestamps of their unit; str values, state names, copied as
        large strings); masked entries are nulls."""

@final
class ArrowColumn:
    """One column of an ``ArrowColumns``, exported through the Arrow
    PyCapsule interface: ``pyarrow.array(column)``, ``polars.Series(column)``.
    Its buffers belong to the column and live as long as any export of it."""

    @property
    def name(self) -> str:
        """The field name."""
    @property
    def null_count(self) -> int:
        """Entries that failed to decode under errors="mask" (Arrow nulls)."""
    @property
    def format(self) -> str:
        """The Arrow format string of the column's type ("C", "S", "I", "L",
        "c", "s", "i", "l", "f", "g", or "u"/"U" for UTF-8 strings; an array
        field: "+w:N" for a fixed-size list of N values, "+L" for a large
        list)."""
    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(
        self, requested_schema: object | None = None
    ) -> tuple[object, object]: ...

@final
class ArrowColumns:
    """What ``Layout.unpack_many(..., output="arrow")`` returns: a read-only
    mapping from field name to ``ArrowColumn`` in recipe order, which Arrow
    consumers read without copying: ``pyarrow.table(columns)``,
    ``polars.DataFrame(columns)``, ``duckdb.sql("SELECT * FROM columns")``.
    Exports stay valid after the columns, and the buffer they were decoded
    from, are gone."""

    @property
    def num_rows(self) -> int:
        """The number of packets decoded."""
    def __len__(self) -> int: ...
    def __getitem__(self, key: str, /) -> ArrowColumn: ...
    def __iter__(self) -> Iterator[str]: ...
    def __contains__(self, key: object, /) -> bool: ...
    def keys(self) -> list[str]: ...
    def values(self) -> list[ArrowColumn]: ...
    def items(self) -> list[tuple[str, ArrowColumn]]: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_array__(
        self, requested_schema: object | None = None
    ) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...


@final
class Layout:
    """A recipe compiled once and applied to many packets.

    Build it from the same recipe items that ``pack_parameters`` and
    ``unpack_parameters`` take ("value" keys are ignored). The recipe is read
    once and copied: later changes to the caller's list or dicts do not
    affect the layout. Layouts are immutable, compare equal when built from
    equal recipes, hash, pickle and copy, and may be shared between threads.
    """

    def __new__(
        cls, recipe: Sequence[RecipeItem], packet_length: PacketLength | None = None
    ) -> Layout:
        """Compile a recipe.

        Args:
            recipe: The recipe items, in packet order (any sequence but str).
            packet_length: Where each packet's header gives its length. Then
                no field is read past its own packet's end, which that
                length marks, and rest-of-packet arrays work with offsets
                alone; ``pack`` fills in a recipe field at that place that
                the values omit.

        Raises:
            ValueError: An item is not a dict, lacks a key, holds a value of
                the wrong type, or names an unknown encoding or byte order.
                The message is the one ``unpack_parameters`` gives, prefixed
                with the item's index and name, for example
                ``recipe item 3 ('temp'): KeyError: "Recipe missing required
                field: 'bits'"``. Beyond what the packet functions check,
                a layout refuses keys no recipe knows (suggesting the nearest
                one), repeated names, float fields narrower than their
                format, and arrays it cannot place (see docs/layouts.md).
            TypeError: ``recipe`` is a str or not a sequence.
        """

    def unpack(
        self, packet: Buffer, offset_bits: SupportsIndex = 0, *, raw: bool = False
    ) -> dict[str, Any]:
        """Read one packet.

        Args:
            packet: Any object with the buffer protocol (bytes, bytearray,
                memoryview, mmap, a contiguous NumPy uint8 array), read in
                place.
            offset_bits: Where the layout starts in the packet, in bits from
                the most significant bit of the first byte.
            raw: Give the fields' own values, without their conversions.

        Returns:
            Exactly what ``unpack_parameters(packet, offset_bits, recipe)``
            returns: the same keys in the same order, the same values; a
            field with a conversion gives its engineering value instead
            (unless ``raw``): a float, a state name, or a ``datetime``
            rounded to the microsecond (aware, in UTC, for the UTC scale;
            naive for TAI).

        Raises:
            ValueError: The packet is too short for the layout (naming its
                length, the bits needed and the first field outside it), or
                a field does not decode (naming the recipe item, with the
                message ``unpack_parameters`` gives).
        """

    def pack(self, values: Mapping[str, object], *, raw: bool = False) -> bytes:
        """Write one packet.

        Args:
            values: The value of every field, by name. Fields with a
                conversion take a datetime or numpy.datetime64 (time codes),
                a state name or raw int (enumerations), a float (linear, and
                polynomials and tables with "invert"), or the raw value
                (other polynomials and tables); arrays take a sequence of
                them.
            raw: Take every value as the field's own, conversions skipped.

        Returns:
            Exactly the bytes ``pack_parameters`` returns for the recipe with
            each item's "value" taken from ``values``.

        Raises:
            KeyError: A field has no value (the key is the field's name).
            ValueError: A value cannot be encoded (naming the recipe item,
                with the message ``pack_parameters`` gives).
            TypeError: ``values`` is not a mapping.
        """

    @overload
    def unpack_many(
        self,
        buffer: Buffer,
        *,
        stride: SupportsIndex | None = None,
        offsets: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        count: SupportsIndex | None = None,
        errors: Literal["raise"] = "raise",
        output: Literal["numpy"] = "numpy",
        text_dtype: npt.DTypeLike | None = None,
        lengths: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        raw: bool = False,
    ) -> dict[str, Any]:
        """Read many packets from one buffer into one column per field.

        Args:
            buffer: The packets, back to back or at the given offsets.
            stride: Bytes from one packet to the next (default: ``size_bytes``).
            offsets: Byte offset of every packet, instead of a stride (for
                example from ``split_packets``).
            count: Number of packets (default: as many as the buffer holds).
            errors: "raise" stops at the first field that does not decode;
                "mask" records it and carries on (masked entries in numpy
                output, nulls in Arrow output).
            output: "numpy" (default) returns a dict of NumPy arrays; "arrow"
                returns an ``ArrowColumns`` that pyarrow, polars, duckdb and
                other Arrow consumers import without copying, with text as
                Arrow UTF-8 strings (it needs no NumPy).
            text_dtype: With numpy output, the type of text columns: object
                (default, ``str`` values), ``numpy.dtypes.StringDType()`` or
                "T" (NumPy 2, filled without a ``str`` per packet), or "S"
                for the raw field bytes with the byte order undone (not
                decoded; NumPy drops trailing NUL bytes of an element).
            lengths: The byte length of every packet, with ``offsets``: no
                field is read past its packet's end.
            raw: Give every field's own values, conversions skipped: the
                columns the layout would give without its "convert" keys.

        Returns:
            With numpy output, a dict mapping each field name to a NumPy array
            with one element per packet, in recipe order; element i equals
            ``layout.unpack(buffer, 8 * start_i)[name]``. Integer encodings
            give the smallest (u)int8/16/32/64 for the field's width, f16 and
            f32 give float32, f64 and f128 float64, text object arrays of str
            (or as ``text_dtype`` says). Converted fields: float64
            (calibrations), object arrays of str, one object per name
            (enumerations), datetime64[ns] (time codes). With errors="mask",
            ``numpy.ma.MaskedArray`` columns. With Arrow output, the same
            columns with the matching Arrow types (converted fields:
            double, a dictionary of int32 indices and strings, timestamp[ns]
            with tz "UTC" for the UTC scale). A fixed array of N values
            gives a (packets, N) array, a counted or rest-of-packet array a
            ``RaggedColumn``; with errors="mask", whole array rows are masked
            and ragged columns carry a ``mask``. In Arrow output a fixed
            array is a ``fixed_size_list`` of N values, a counted or
            rest-of-packet array a ``large_list``, a failed entry a null.
            Converted arrays give float64, str or datetime64[ns] elements
            (Arrow: double, dictionary strings, timestamps), and a packet
            with an element that fails fails (or is masked) as a whole.

        Raises:
            ValueError: Bytes are left over after the last whole packet
                (without ``count``), the arguments conflict, or (with
                errors="raise") a packet does not hold the layout or a field
                does not decode, naming the packet, its byte offset and the
                recipe item.
            TypeError: ``text_dtype`` with output="arrow".
            ImportError: numpy is not installed (numpy output, or offsets).
        """

    @overload
    def unpack_many(
        self,
        buffer: Buffer,
        *,
        stride: SupportsIndex | None = None,
        offsets: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        count: SupportsIndex | None = None,
        errors: Literal["mask"],
        output: Literal["numpy"] = "numpy",
        text_dtype: npt.DTypeLike | None = None,
        lengths: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        raw: bool = False,
    ) -> dict[str, Any]: ...
    @overload
    def unpack_many(
        self,
        buffer: Buffer,
        *,
        stride: SupportsIndex | None = None,
        offsets: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        count: SupportsIndex | None = None,
        errors: Literal["raise", "mask"] = "raise",
        output: Literal["arrow"],
        text_dtype: None = None,
        lengths: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
        raw: bool = False,
    ) -> ArrowColumns: ...

    def pack_many(
        self, columns: Mapping[str, Sequence[Any] | npt.NDArray[Any]], *, raw: bool = False
    ) -> bytes:
        """Write many packets back to back, one column of values per field.

        Args:
            columns: For every field, a sequence or array of its values; all
                of the same length. Converted fields take what ``pack``
                takes; time codes take datetime64 arrays directly.
            raw: Take every value as the field's own, conversions skipped.

        Returns:
            The packets, each equal to ``layout.pack`` of its row,
            concatenated.

        Raises:
            KeyError: A field has no column.
            ValueError: The columns differ in length, or a value cannot be
                encoded (naming the row and the recipe item).
            ImportError: numpy is not installed.
        """

    @property
    def names(self) -> tuple[str, ...]:
        """The field names, in recipe order."""

    @property
    def size_bits(self) -> int:
        """Bits from the layout's first bit to the end of its last field."""

    @property
    def size_bytes(self) -> int:
        """``size_bits`` rounded up to whole bytes."""

    def __eq__(self, other: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __copy__(self) -> Layout: ...
    def __deepcopy__(self, memo: Any, /) -> Layout: ...

class HeaderRule(TypedDict):
    """A header field that must hold one of ``values`` (read big-endian,
    unsigned): a version number, the identifiers a stream carries."""

    offset_bits: SupportsIndex
    bits: SupportsIndex
    values: Sequence[SupportsIndex]

class FramingRules(TypedDict, total=False):
    """What a valid packet looks like, for ``split_packets(rules=...)``."""

    fields: Sequence[HeaderRule]
    min_length: SupportsIndex
    max_length: SupportsIndex
    confirm: SupportsIndex
    check: str | FramingCheck

class FramingCheck(CrcParameters, total=False):
    """The check that ends every packet (docs/checks.md): its algorithm, the
    first byte it covers (``start``, default 0) and the byte order of its
    value (default "big")."""

    start: int
    byte_order: ByteOrder

@final
class SkippedBytes(tuple[int, int, str, str]):
    """A byte range ``[start, stop)`` of a stream that is in no framed packet.

    ``reason`` is "truncated" (the stream ends inside the packet), "bad
    length" (its total length is impossible or outside the rules' bounds),
    "bad header" (a header field the rules do not allow), "bad check" (the
    packet's check, ``rules["check"]``, does not hold) or "bad next
    header" (the packet validates but what follows it does not: its length
    is likely corrupt). ``detail`` says what was found at ``start``.
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]] = ("start", "stop", "reason", "detail")

    @property
    def start(self) -> int: ...
    @property
    def stop(self) -> int: ...
    @property
    def reason(self) -> Literal["truncated", "bad length", "bad header", "bad next header"]: ...
    @property
    def detail(self) -> str: ...

@final
class FramedStream(tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], list[SkippedBytes]]):
    """What ``split_packets(errors="report")`` framed: the packets' offsets
    and total lengths, and every byte range in no packet, in stream order.
    Packets and skipped ranges cover every byte of the stream once."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]] = ("offsets", "lengths", "skipped")

    @property
    def offsets(self) -> npt.NDArray[np.int64]: ...
    @property
    def lengths(self) -> npt.NDArray[np.int64]: ...
    @property
    def skipped(self) -> list[SkippedBytes]: ...
    @property
    def learned(self) -> FramingRules | None:
        """With ``rules="learn"``: the rules learned (header words and the
        values they held, length bounds), a dict ``split_packets`` takes as
        ``rules``; None otherwise. Not part of the tuple."""

@final
class SequenceReport(
    tuple[
        npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64]
    ]
):
    """Where per-identifier sequence counters do not step by one: packet
    indices of gaps (with how many packets are missing before each),
    duplicates and packets out of order, and (an attribute, not part of the
    tuple) the packets where a counter starts again from a count further
    back. Each discontinuity is one event."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: ClassVar[tuple[str, ...]] = (
        "gap_index",
        "gap_missing",
        "duplicate_index",
        "out_of_order_index",
    )

    @property
    def gap_index(self) -> npt.NDArray[np.int64]: ...
    @property
    def gap_missing(self) -> npt.NDArray[np.int64]: ...
    @property
    def duplicate_index(self) -> npt.NDArray[np.int64]: ...
    @property
    def out_of_order_index(self) -> npt.NDArray[np.int64]: ...
    @property
    def reset_index(self) -> npt.NDArray[np.int64]: ...

CCSDS_PRIMARY_HEADER: Layout
"""The CCSDS space packet primary header as a layout of six bytes: version
(3 bits), type (1), secondary_header_flag (1), apid (11), sequence_flags
(2), sequence_count (14), packet_length (16), all unsigned big-endian."""

@overload
def split_packets(
    buffer: Buffer,
    *,
    length_offset_bits: SupportsIndex,
    length_bits: SupportsIndex,
    length_adjust: SupportsIndex = 0,
    byte_order: ByteOrder = "big",
    errors: Literal["raise"] = "raise",
    rules: FramingRules | Literal["learn"] | None = None,
) -> npt.NDArray[np.int64]:
    """Find the start of every packet in a stream of variable-length packets.

    Each packet carries its own length in an unsigned field; the next packet
    starts right after it. The field is read as a layout reads an unsigned
    field of that width and byte order.

    Args:
        buffer: The packets, back to back.
        length_offset_bits: Position of the length field within a packet,
            in bits from the packet's first bit.
        length_bits: Width of the length field in bits.
        length_adjust: Added to the length field to give the packet's total
            length in bytes.
        byte_order: Byte order of the length field.
        errors: "raise" stops at the first packet that cannot be framed;
            "report" frames what can be framed and returns a
            ``FramedStream`` that lists every byte range it skipped, and why,
            resuming after damage where ``rules["confirm"]`` packets (3 by
            default) validate in a row.
        rules: What a valid packet looks like: header ``fields`` that must
            hold one of their ``values``, ``min_length`` and ``max_length``
            in total bytes, and a ``check`` that ends every packet (a CRC or
            checksum: a packet whose check fails is no packet). Without
            rules only impossible lengths and truncation can be told apart
            from packets. "learn" learns them from the stream: the header
            words before the length field that hold few values, the same
            throughout (identifiers, versions), the bounds of the lengths
            and a common CRC ending every packet, if one does, from clean
            stretches of its first 4 MiB, widened by
            packets the whole stream shows that they refused; the report's
            ``learned`` says what was learned.

    Returns:
        The byte offset of every packet, as an int64 array (suitable for
        ``Layout.unpack_many(offsets=...)``); a ``FramedStream`` with
        errors="report".

    Raises:
        ValueError: (errors="raise") The stream ends inside a packet (a
            truncated final packet is reported, not dropped), a packet's
            total length is below 1 byte or ends before its length field, or
            the rules refuse a packet; the message names the packet and its
            offset. Malformed rules, either mode.
        ImportError: numpy is not installed.
    """

@overload
def split_packets(
    buffer: Buffer,
    *,
    length_offset_bits: SupportsIndex,
    length_bits: SupportsIndex,
    length_adjust: SupportsIndex = 0,
    byte_order: ByteOrder = "big",
    errors: Literal["report"],
    rules: FramingRules | Literal["learn"] | None = None,
) -> FramedStream: ...

def split_by_apid(
    buffer: Buffer,
    offsets: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]] | None = None,
    *,
    key_offset_bits: SupportsIndex = 5,
    key_bits: SupportsIndex = 11,
) -> dict[int, npt.NDArray[np.int64]]:
    """Group the packets of a stream by APID, or by another header field.

    Args:
        buffer: The packets.
        offsets: Their start offsets (from ``split_packets``); by default the
            buffer is framed as CCSDS space packets, strictly.
        key_offset_bits: Position of the identifier field (default: the APID
            at bit 5).
        key_bits: Its width, 1 to 32 bits (default 11).

    Returns:
        For each identifier, ascending, the int64 offsets of its packets in
        stream order.

    Raises:
        ValueError: A packet does not hold the identifier field, or (without
            offsets) the stream does not frame.
        ImportError: numpy is not installed.
    """

def check_sequence_counts(
    keys: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]],
    counts: Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]],
    *,
    modulus: SupportsIndex = 16384,
) -> SequenceReport:
    """Check per-identifier sequence counters (the 14-bit CCSDS count wraps).

    For each packet, the step from the previous count of the same key,
    modulo ``modulus``: 1 is fine; 0 a duplicate; 2 up to ``modulus // 2`` a
    gap of step - 1 missing packets. A larger step (the count goes back) is
    a reset when the key's next packet lies a shorter step on from this
    count than from the one before it: the counter restarted there (a
    reboot, a stream joined to another) and goes on from it, one event in
    ``reset_index``. Otherwise, or when no packet of the key follows, the
    packet is out of order and does not move the key's count.

    Args:
        keys: One identifier per packet, in stream order (APIDs).
        counts: One count per packet, below ``modulus``.
        modulus: Where the counter wraps.

    Returns:
        A ``SequenceReport`` of int64 arrays of packet indices (its
        ``reset_index`` an attribute beside the four it unpacks into).

    Raises:
        ValueError: Lengths differ, or a key or count is negative or a count
            is not below the modulus.
        ImportError: numpy is not installed.
    """

def unpack_parameters(
    packet_bytes: bytes, offset_bits: SupportsIndex, recipe: Sequence[RecipeItem]
) -> dict[str, UnpackedValue]:
    """Read the values of a recipe's fields out of a packet.

    Walks the recipe from ``offset_bits``: each item's field starts at the
    item's own ``offset_bits`` (counted from the call's ``offset_bits``) or,
    without one, right after the previous field. Bits are numbered from the
    most significant bit of the first byte. The ``value`` keys of the items are
    ignored, so the recipe given to ``pack_parameters`` can be reused.

    Example::

        recipe = [{"name": "apid", "encoding": "unsigned", "bits": 11,
                   "byte_order": "big", "reverse_bits": False}]
        vantrel.unpack_parameters(b"\\x54\\xa0", 5, recipe)  # {'apid': 1184}

    Args:
        packet_bytes: The packet, a bytes object (bytearray and memoryview are
            refused).
        offset_bits: Bit position of the recipe's start, 0 to 2**64 - 1.
        recipe: The recipe items in packet order; any sequence except a str.

    Returns:
        A new dict mapping each item's name to its value: int for the integer
        and BCD encodings, float for IEEE 754, str for text (a text field keeps
        any NUL padding it was packed with). When two items share a name, the
        last one's value is kept.

    Raises:
        ValueError: Any error in a recipe item, rewrapped with the original
            exception's type name, e.g.
            ``ValueError: KeyError: "Recipe missing required field: 'bits'"``
            or ``ValueError: NotImplementedError: TI f32 format not yet
            implemented``.
        TypeError: packet_bytes is not bytes, offset_bits is not an int, or
            recipe is a str or not a sequence.
        OverflowError: offset_bits is negative or above 2**64 - 1.
        BaseException: A packet too short for a field raises PanicException,
            which derives from BaseException (not Exception) and is not a
            module attribute; catch it with ``except BaseException`` and check
            ``type(exc).__name__ == "PanicException"``. Its message reads like
            "range end index 3 out of range for slice of length 2".
    """

def pack_parameters(recipe: Sequence[RecipeItem]) -> bytes:
    """Pack the values of a recipe into the bytes of one packet.

    The packet is just long enough for the field that ends last, all bits
    that no field covers are 0, and a later field overwrites an earlier one
    where they overlap. Each field is written most significant bit first at
    its bit position (bit 0 is the top bit of the first byte). Numeric fields
    are checked against ``bits``; text is not: a shorter text is right-aligned
    behind zero (NUL) bytes, a longer one keeps only its last bytes.

    Example::

        vantrel.pack_parameters([{"name": "t", "encoding": "twos_complement",
            "bits": 12, "byte_order": "big", "reverse_bits": False,
            "value": -42}])  # bytes.fromhex("fd60")

    Args:
        recipe: The recipe items, each with a ``value``; any sequence except a
            str.

    Returns:
        The packet.

    Raises:
        ValueError: Any error in a recipe item, rewrapped with the original
            exception's type name, e.g.
            ``ValueError: KeyError: "Recipe item 'x' missing required field:
            'value'"`` or ``ValueError: ValueError: Value 256 is too large for
            8 bits``.
        TypeError: recipe is a str or not a sequence.
    """

def decode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a ones' complement pattern into a signed integer.

    With the sign bit (bit ``bits - 1``) set, the result is
    ``value - (2**bits - 1)``; otherwise ``value`` itself. All bits set
    (negative zero) gives 0. Widths of 64 or more read the pattern as 64 bits;
    width 0 gives 0. Never fails for a valid pattern.

    Example: ``decode_ones_complement(254, 8)`` is -1.

    Args:
        value: The pattern, 0 to 2**64 - 1; only the low ``bits`` bits are
            expected to be set.
        bits: The field width.

    Returns:
        The signed value.

    Raises:
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside 0 to 2**64 - 1, or bits outside
            0 to 2**32 - 1.
    """

def decode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a two's complement pattern into a signed integer.

    With the sign bit (bit ``bits - 1``) set, the result is
    ``(value mod 2**bits) - 2**bits``; otherwise ``value`` itself. Widths of
    64 or more read the pattern as a signed 64-bit number; width 0 gives 0.

    Example: ``decode_twos_complement(0xFD6, 12)`` is -42.

    Args:
        value: The pattern, 0 to 2**64 - 1 (the raw bits as an int, not
            bytes).
        bits: The field width.

    Returns:
        The signed value, -2**63 to 2**63 - 1.

    Raises:
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside 0 to 2**64 - 1, or bits outside
            0 to 2**32 - 1.
    """

def decode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Decode a sign-magnitude pattern into a signed integer.

    The magnitude is the low ``bits - 1`` bits, the sign is bit ``bits - 1``;
    bits above the field are ignored. The pattern with only the sign bit set
    (negative zero) gives 0. Widths above 64 read as 64; widths 0 and 1 give 0.

    Example: ``decode_sign_magnitude(0x85, 8)`` is -5.

    Args:
        value: The pattern, 0 to 2**64 - 1.
        bits: The field width.

    Returns:
        The signed value.

    Raises:
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside 0 to 2**64 - 1, or bits outside
            0 to 2**32 - 1.
    """

def decode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Decode an unpacked (zoned) BCD pattern: one decimal digit per byte.

    Byte 0 (the least significant) holds the units digit; ``bits // 8`` bytes
    are read and higher bits ignored. Unsigned: every byte must be 0x00-0x09.
    Signed (zoned decimal): byte 0 is 0xC0-0xC9 or 0xF0-0xF9 or 0x30-0x39
    (positive) or 0xD0-0xD9 (negative); the other bytes 0x30-0x39 or
    0xF0-0xF9. Widths below 8 give 0.

    Example: ``decode_unpacked_bcd(0xF1F2D3, 24, signed=True)`` is -123.

    Args:
        value: The pattern, 0 to 2**64 - 1.
        bits: The field width.
        signed: Read the zoned, signed form. Must be a bool.

    Returns:
        The value.

    Raises:
        ValueError: A byte is not a valid digit or zone, e.g. "Invalid BCD
            digit: 51 (must be 0-9)" or "Invalid zoned decimal signed byte:
            0xA3 (...)". Signed fields of 72 bits or more always fail.
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside 0 to 2**64 - 1, or bits outside
            0 to 2**32 - 1.
        TypeError: signed is not a bool (0 and 1 are refused).
    """

def decode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Decode a packed BCD pattern: one decimal digit per 4-bit nibble.

    Nibble 0 (the least significant) holds the units digit, or the sign when
    ``signed``: 0xB and 0xD mean negative, 0xA, 0xC, 0xE and 0xF positive.
    ``bits // 4`` nibbles are read and higher bits ignored. Widths below 4
    give 0.

    Example: ``decode_packed_bcd(0x123D, 16, signed=True)`` is -123.

    Args:
        value: The pattern, 0 to 2**64 - 1.
        bits: The field width.
        signed: Read a sign nibble below the digits. Must be a bool.

    Returns:
        The value.

    Raises:
        ValueError: A digit nibble is above 9 ("Invalid BCD digit: 10 (must be
            0-9)"), or the sign nibble is below 0xA.
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside 0 to 2**64 - 1, or bits outside
            0 to 2**32 - 1.
        TypeError: signed is not a bool (0 and 1 are refused).
    """

def decode_ieee754_f16(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary16 (half precision) bit pattern into a float.

    Exact: every binary16 value is a float. Bits above 16 are ignored.

    Example: ``decode_ieee754_f16(15360)`` is 1.0.

    Args:
        value: The 16-bit pattern as an int, 0 to 2**64 - 1.

    Returns:
        The value.

    Raises:
        TypeError: value is not an int (a float is refused).
        OverflowError: value is negative or above 2**64 - 1.
    """

def decode_ieee754_f32(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary32 (single precision) bit pattern into a float.

    Exact. Bits above 32 are ignored. A NaN stays a NaN with its sign.

    Example: ``decode_ieee754_f32(0x3F800000)`` is 1.0.

    Args:
        value: The 32-bit pattern as an int, 0 to 2**64 - 1.

    Returns:
        The value.

    Raises:
        TypeError: value is not an int (a float is refused).
        OverflowError: value is negative or above 2**64 - 1.
    """

def decode_ieee754_f64(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary64 (double precision) bit pattern into a float.

    Exact, NaN payloads included.

    Example: ``decode_ieee754_f64(0x3FF0000000000000)`` is 1.0.

    Args:
        value: The 64-bit pattern as an int, 0 to 2**64 - 1.

    Returns:
        The value.

    Raises:
        TypeError: value is not an int (a float is refused).
        OverflowError: value is negative or above 2**64 - 1.
    """

def decode_ieee754_f128(value: SupportsIndex) -> float:
    """Decode an IEEE 754 binary128 (quadruple precision) bit pattern into a float.

    The fraction is truncated to 52 bits (toward zero, not rounded).
    Magnitudes beyond the float range give infinity, those below the smallest
    normal float give a signed zero; any NaN gives the positive quiet NaN.

    Example: ``decode_ieee754_f128(0x3FFF << 112)`` is 1.0.

    Args:
        value: The 128-bit pattern as an int, 0 to 2**128 - 1.

    Returns:
        The value.

    Raises:
        TypeError: value is not an int.
        OverflowError: value is negative or above 2**128 - 1.
    """

# ---- refusing decoders (written by tools/refusal_stubs.py) ----

def decode_ieee754_1985_f32(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754-1985 f32 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754-1985 f32 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_ieee754_1985_f64(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754-1985 f64 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754-1985 f64 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_ieee754_1985_f80(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754-1985 f80 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754-1985 f80 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_mil_std_1750a_f32(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The MIL-STD-1750A f32 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "MIL-STD-1750A f32 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_mil_std_1750a_f48(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The MIL-STD-1750A f48 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "MIL-STD-1750A f48 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_dec_f32(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The DEC f32 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "DEC f32 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_dec_f64(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The DEC f64 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "DEC f64 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_ibm_f32(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IBM f32 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "IBM f32 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_ibm_f64(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IBM f64 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "IBM f64 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_ti_f32(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The TI f32 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "TI f32 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

def decode_ti_f40(_value: SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The TI f40 format has no decoder yet. The argument is still checked first.

    Args:
        _value: A pattern, 0 to 2**64 - 1 (unused).

    Raises:
        NotImplementedError: Always, "TI f40 format not yet implemented".
        TypeError: _value is not an int.
        OverflowError: _value is negative or above 2**64 - 1.
    """

# ---- end of refusing decoders ----

def decode_us_ascii(bytes: bytes) -> str:
    """Decode US-ASCII bytes into a str.

    Every byte must be 0x00-0x7F.

    Example: ``decode_us_ascii(b"abc")`` is 'abc'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: A byte of 0x80 or more, e.g. "Invalid US-ASCII byte: 0xE9
            (must be <= 0x7F)".
        TypeError: bytes is not a bytes object.
    """

def decode_iso_8859_1(bytes: bytes) -> str:
    """Decode ISO-8859-1 (Latin-1) bytes into a str.

    Each byte is the character with the same code (U+0000 to U+00FF). Cannot fail.

    Example: ``decode_iso_8859_1(b"caf\\xe9")`` is 'café'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        TypeError: bytes is not a bytes object.
    """

def decode_windows_1252(bytes: bytes) -> str:
    """Decode Windows-1252 bytes into a str.

    Every byte maps to a character (the WHATWG index; 0x81, 0x8D, 0x8F,
    0x90 and 0x9D are the C1 controls of the same code). A leading byte order
    mark switches the decoding: EF BB BF to UTF-8, FF FE to UTF-16LE, FE FF to
    UTF-16BE; the mark is removed.

    Example: ``decode_windows_1252(b"\\x80")`` is '€'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "Failed to decode Windows-1252 bytes", only for malformed
            UTF-8 or UTF-16 after a byte order mark.
        TypeError: bytes is not a bytes object.
    """

def decode_utf8(bytes: bytes) -> str:
    """Decode UTF-8 bytes into a str.

    Strict: overlong forms, encoded surrogates, code points above U+10FFFF
    and truncated sequences are refused. A leading EF BB BF stays in the text
    as U+FEFF.

    Example: ``decode_utf8(b"\\xe2\\x82\\xac")`` is '€'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "Invalid UTF-8 bytes: invalid utf-8 sequence of 1 bytes
            from index 0" (or "incomplete utf-8 byte sequence from index N").
        TypeError: bytes is not a bytes object.
    """

def decode_utf16(bytes: bytes) -> str:
    """Decode UTF-16 bytes with an optional byte order mark into a str.

    FE FF (big-endian) or FF FE (little-endian) at the start is removed and
    selects the byte order; without a mark the bytes are big-endian. Needs at
    least 2 bytes and an even count.

    Example: ``decode_utf16(b"\\xff\\xfeA\\x00")`` is 'A'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes with at least 2
            bytes", or "Invalid UTF-16 sequence: invalid utf-16: lone surrogate
            found".
        TypeError: bytes is not a bytes object.
    """

def decode_utf16le(bytes: bytes) -> str:
    """Decode UTF-16LE bytes (no byte order mark expected) into a str.

    An even count, 0 included. A leading FF FE stays in the text as U+FEFF.

    Example: ``decode_utf16le(b"A\\x00")`` is 'A'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes", or "Invalid
            UTF-16 sequence: invalid utf-16: lone surrogate found".
        TypeError: bytes is not a bytes object.
    """

def decode_utf16be(bytes: bytes) -> str:
    """Decode UTF-16BE bytes (no byte order mark expected) into a str.

    An even count, 0 included. A leading FE FF stays in the text as U+FEFF.

    Example: ``decode_utf16be(b"\\x00A")`` is 'A'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "UTF-16 requires an even number of bytes", or "Invalid
            UTF-16 sequence: invalid utf-16: lone surrogate found".
        TypeError: bytes is not a bytes object.
    """

def decode_utf32(bytes: bytes) -> str:
    """Decode UTF-32 bytes with an optional byte order mark into a str.

    00 00 FE FF (big-endian) or FF FE 00 00 (little-endian) at the start is
    removed and selects the byte order; without a mark the bytes are
    big-endian. Needs at least 4 bytes and a multiple of 4.

    Example: ``decode_utf32(b"\\x00\\x00\\x00A")`` is 'A'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes with at least 4
            bytes", or "Invalid UTF-32 codepoint: 0x00110000" for a surrogate or
            a unit above 0x10FFFF.
        TypeError: bytes is not a bytes object.
    """

def decode_utf32le(bytes: bytes) -> str:
    """Decode UTF-32LE bytes (no byte order mark expected) into a str.

    A multiple of 4 bytes, 0 included.

    Example: ``decode_utf32le(b"A\\x00\\x00\\x00")`` is 'A'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes", or "Invalid
            UTF-32 codepoint: 0x0000D800" for a surrogate or a unit above
            0x10FFFF.
        TypeError: bytes is not a bytes object.
    """

def decode_utf32be(bytes: bytes) -> str:
    """Decode UTF-32BE bytes (no byte order mark expected) into a str.

    A multiple of 4 bytes, 0 included.

    Example: ``decode_utf32be(b"\\x00\\x00\\x00A")`` is 'A'.

    Args:
        bytes: The encoded text, a bytes object (bytearray and memoryview are
            refused).

    Returns:
        The text.

    Raises:
        ValueError: "UTF-32 requires a multiple of 4 bytes", or "Invalid
            UTF-32 codepoint: 0x00110000" for a surrogate or a unit above
            0x10FFFF.
        TypeError: bytes is not a bytes object.
    """

def encode_ones_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a signed integer as a ones' complement pattern.

    Negative values are the bitwise complement of their magnitude within
    ``bits`` bits. Accepts -(2**(bits-1) - 1) to 2**(bits-1) - 1; zero is all
    zeros (never negative zero).

    Example: ``encode_ones_complement(-1, 8)`` is 254 (0xFE).

    Args:
        value: The value, -2**63 to 2**63 - 1.
        bits: The field width, 1 to 64.

    Returns:
        The pattern, a non-negative int below 2**bits.

    Raises:
        ValueError: bits is 0 or above 64, or the value does not fit, e.g.
            "Value 128 is too large for 8 bits" or "Value -128 is too large
            (magnitude) for 8 bits".
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside -2**63 to 2**63 - 1, or bits outside
            0 to 2**32 - 1.
    """

def encode_twos_complement(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a signed integer as a two's complement pattern.

    Accepts -2**(bits-1) to 2**(bits-1) - 1; the result is the value modulo
    2**bits.

    Example: ``encode_twos_complement(-42, 12)`` is 4054 (0xFD6).

    Args:
        value: The value, -2**63 to 2**63 - 1.
        bits: The field width, 1 to 64.

    Returns:
        The pattern, a non-negative int below 2**bits.

    Raises:
        ValueError: bits is 0 or above 64, or the value is out of range, e.g.
            "Value 128 out of range for 8 bits (range: -128 to 127)".
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside -2**63 to 2**63 - 1, or bits outside
            0 to 2**32 - 1.
    """

def encode_sign_magnitude(value: SupportsIndex, bits: SupportsIndex) -> int:
    """Encode a signed integer as a sign-magnitude pattern.

    The magnitude fills the low ``bits - 1`` bits and bit ``bits - 1`` is set
    for a negative value. Accepts -(2**(bits-1) - 1) to 2**(bits-1) - 1; zero
    is all zeros.

    Example: ``encode_sign_magnitude(-5, 8)`` is 133 (0x85).

    Args:
        value: The value, -2**63 to 2**63 - 1.
        bits: The field width, 2 to 64.

    Returns:
        The pattern, a non-negative int below 2**bits.

    Raises:
        ValueError: bits is outside 2 to 64, or the magnitude does not fit,
            e.g. "Magnitude of 128 is too large for 8 bits".
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside -2**63 to 2**63 - 1, or bits outside
            0 to 2**32 - 1.
    """

def encode_unpacked_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode an integer as unpacked (zoned) BCD: one decimal digit per byte.

    ``bits // 8`` digits, units digit in byte 0 (the least significant).
    Unsigned: each byte is the bare digit 0x00-0x09, and a negative value is
    written as its magnitude. Signed (zoned decimal): bytes 0xF0 + digit, and
    the units byte 0xC0 + digit (value >= 0) or 0xD0 + digit (value < 0).

    Example: ``encode_unpacked_bcd(-123, 24, signed=True)`` is 0xF1F2D3.

    Args:
        value: The value, -2**63 to 2**63 - 1.
        bits: The field width, at least 8.
        signed: Write the zoned, signed form. Must be a bool.

    Returns:
        The pattern.

    Raises:
        ValueError: "bits must be >= 8 for unpacked BCD", "Value 1234 has too
            many digits for 3 BCD digits", or more than 8 digits in a field
            wider than 64 bits.
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside -2**63 to 2**63 - 1, or bits outside
            0 to 2**32 - 1.
        TypeError: signed is not a bool (0 and 1 are refused).
    """

def encode_packed_bcd(value: SupportsIndex, bits: SupportsIndex, signed: bool = False) -> int:
    """Encode an integer as packed BCD: one decimal digit per 4-bit nibble.

    Unsigned: ``bits // 4`` digits, units digit in nibble 0 (the least
    significant). Signed: nibble 0 is the sign, 0xC (value >= 0) or 0xD
    (value < 0), and ``bits // 4 - 1`` digits sit above it.

    Example: ``encode_packed_bcd(1234, 16)`` is 0x1234;
    ``encode_packed_bcd(-123, 16, signed=True)`` is 0x123D.

    Args:
        value: The value, -2**63 to 2**63 - 1.
        bits: The field width, at least 4.
        signed: Write a sign nibble below the digits. Must be a bool.

    Returns:
        The pattern, a non-negative int (it may exceed 2**63 - 1).

    Raises:
        ValueError: "bits must be >= 4 for packed BCD", "Cannot encode negative
            value in unsigned BCD", "Value 10 has too many digits for 1 BCD
            digits", or more than 16 digits (15 signed) in a field wider than 64
            bits.
        TypeError: An argument is not an int (a float is refused).
        OverflowError: value is outside -2**63 to 2**63 - 1, or bits outside
            0 to 2**32 - 1.
        TypeError: signed is not a bool (0 and 1 are refused).
    """

def encode_ieee754_f16(value: SupportsFloat | SupportsIndex) -> int:
    """Encode a number as an IEEE 754 binary16 (half precision) bit pattern.

    The number is rounded to binary32 first and then to binary16 (each to
    nearest, ties to even). Magnitudes of 65520 and above give infinity, those
    at or below 2**-25 a signed zero; a NaN stays a quiet NaN with its sign.

    Example: ``encode_ieee754_f16(1.0)`` is 15360 (0x3C00).

    Args:
        value: A float, or anything float() accepts.

    Returns:
        The pattern, 0 to 65535.

    Raises:
        TypeError: value is not a number.
        OverflowError: value is an int too large for a float.
    """

def encode_ieee754_f32(value: SupportsFloat | SupportsIndex) -> int:
    """Encode a number as an IEEE 754 binary32 (single precision) bit pattern.

    Rounded to nearest, ties to even; beyond the binary32 range an infinity.

    Example: ``encode_ieee754_f32(1.0)`` is 1065353216 (0x3F800000).

    Args:
        value: A float, or anything float() accepts.

    Returns:
        The pattern, 0 to 2**32 - 1.

    Raises:
        TypeError: value is not a number.
        OverflowError: value is an int too large for a float.
    """

def encode_ieee754_f64(value: SupportsFloat | SupportsIndex) -> int:
    """Encode a number as an IEEE 754 binary64 (double precision) bit pattern.

    The float's own bits, NaN payloads included.

    Example: ``encode_ieee754_f64(1.0)`` is 0x3FF0000000000000.

    Args:
        value: A float, or anything float() accepts.

    Returns:
        The pattern, 0 to 2**64 - 1.

    Raises:
        TypeError: value is not a number.
        OverflowError: value is an int too large for a float.
    """

# ---- refusing encoders (written by tools/refusal_stubs.py) ----

def encode_ieee754_f128(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754 f128 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754 f128 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ieee754_1985_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754-1985 f32 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754-1985 f32 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ieee754_1985_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754-1985 f64 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754-1985 f64 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ieee754_1985_f80(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IEEE 754-1985 f80 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "IEEE 754-1985 f80 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_mil_std_1750a_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The MIL-STD-1750A f32 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "MIL-STD-1750A f32 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_mil_std_1750a_f48(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The MIL-STD-1750A f48 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "MIL-STD-1750A f48 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_dec_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The DEC f32 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "DEC f32 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_dec_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The DEC f64 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "DEC f64 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ibm_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IBM f32 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "IBM f32 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ibm_f64(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The IBM f64 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "IBM f64 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ti_f32(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The TI f32 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "TI f32 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

def encode_ti_f40(_value: SupportsFloat | SupportsIndex) -> NoReturn:
    """Not implemented: always raises NotImplementedError.

    The TI f40 format has no encoder yet. The argument is still checked first.

    Args:
        _value: A number (unused).

    Raises:
        NotImplementedError: Always, "TI f40 encoding not yet implemented".
        TypeError: _value is not a number.
        OverflowError: _value is an int too large for a float.
    """

# ---- end of refusing encoders ----

def encode_us_ascii(text: str) -> bytes:
    """Encode a str as US-ASCII.

    One byte per character; every character must be U+0000 to U+007F.

    Example: ``encode_us_ascii("abc")`` is b"abc".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        ValueError: e.g. "Character 'é' (U+00E9) is not valid US-ASCII"
            (the first character outside the range).
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_iso_8859_1(text: str) -> bytes:
    """Encode a str as ISO-8859-1 (Latin-1).

    One byte per character; every character must be U+0000 to U+00FF.

    Example: ``encode_iso_8859_1("café")`` is b"caf\\xe9".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        ValueError: e.g. "Character '€' (U+20AC) is not valid ISO-8859-1"
            (the first character outside the range).
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_windows_1252(text: str) -> bytes:
    """Encode a str as Windows-1252.

    One byte per character, by the WHATWG index (ASCII to itself, U+0081,
    U+008D, U+008F, U+0090 and U+009D to the bytes of the same value).

    Example: ``encode_windows_1252("€")`` is b"\\x80".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        ValueError: "Failed to encode to Windows-1252" when a character has no
            byte (the message does not name it).
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf8(text: str) -> bytes:
    """Encode a str as UTF-8.

    No byte order mark is written.

    Example: ``encode_utf8("€")`` is b"\\xe2\\x82\\xac".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf16(text: str) -> bytes:
    """Encode a str as UTF-16 with a byte order mark.

    The mark FE FF, then big-endian code units (surrogate pairs above
    U+FFFF). The empty text gives FE FF.

    Example: ``encode_utf16("A")`` is b"\\xfe\\xff\\x00A".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf16le(text: str) -> bytes:
    """Encode a str as UTF-16LE.

    Little-endian code units (surrogate pairs above U+FFFF), no byte order
    mark.

    Example: ``encode_utf16le("A")`` is b"A\\x00".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf16be(text: str) -> bytes:
    """Encode a str as UTF-16BE.

    Big-endian code units (surrogate pairs above U+FFFF), no byte order
    mark.

    Example: ``encode_utf16be("A")`` is b"\\x00A".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf32(text: str) -> bytes:
    """Encode a str as UTF-32 with a byte order mark.

    The mark 00 00 FE FF, then big-endian 4-byte code points.

    Example: ``encode_utf32("A")`` is b"\\x00\\x00\\xfe\\xff\\x00\\x00\\x00A".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf32le(text: str) -> bytes:
    """Encode a str as UTF-32LE.

    Little-endian 4-byte code points, no byte order mark.

    Example: ``encode_utf32le("A")`` is b"A\\x00\\x00\\x00".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """

def encode_utf32be(text: str) -> bytes:
    """Encode a str as UTF-32BE.

    Big-endian 4-byte code points, no byte order mark.

    Example: ``encode_utf32be("A")`` is b"\\x00\\x00\\x00A".

    Args:
        text: The text, a str.

    Returns:
        The encoded bytes.

    Raises:
        TypeError: text is not a str.
        UnicodeEncodeError: text holds a lone surrogate.
    """
