"""Definitions files as Python objects: the packet types of an archive.

`load(path)` reads a JSON or TOML definitions file, or a ccsdspy CSV packet
definition, into `Definitions`: its framing, framing rules, type field and
sequence counter, and one `PacketType` per packet type, whose `layout` is a
compiled `vantrel.Layout`. `from_document(document, source)` does the same
for an already parsed document. Every error is a `DefinitionsError` (a
`ValueError`) naming the file, the packet type and the item. The schema is
in docs/command.md.

```python sketch
import vantrel.definitions

types = vantrel.definitions.load("day.toml")
housekeeping = types.packet_type("housekeeping")
columns = housekeeping.layout.unpack_many(data, offsets=offsets)
```
"""

from .command.definitions import (
    Definitions,
    DefinitionsError,
    PacketType,
    from_document,
    load,
    read_ccsdspy_csv,
)

__all__ = [
    "Definitions",
    "DefinitionsError",
    "PacketType",
    "from_document",
    "load",
    "read_ccsdspy_csv",
]
