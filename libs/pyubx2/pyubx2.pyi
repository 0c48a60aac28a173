"""UBX protocol codec: stream reader, message builder and parser."""
from typing import Any, Iterable, Iterator, Mapping, Protocol, final

__version__: str
"""The project's version ("1.4.0"), the same as the zq_gps module's `version`."""
GET: int
SET: int
POLL: int
MAX_PAYLOAD: int
MAX_KEYS: int
"""The most keys (or key/value pairs) one CFG-VALSET, CFG-VALGET or CFG-VALDEL carries (64)."""
SET_LAYER_RAM: int
"""CFG-VALSET / CFG-VALDEL `layers` bit: RAM (1). Combine with `|`."""
SET_LAYER_BBR: int
"""Battery-backed RAM (2)."""
SET_LAYER_FLASH: int
"""Flash (4)."""
POLL_LAYER_RAM: int
"""CFG-VALGET `layer` index: RAM (0)."""
POLL_LAYER_BBR: int
"""Battery-backed RAM (1)."""
POLL_LAYER_FLASH: int
"""Flash (2)."""
POLL_LAYER_DEFAULT: int
"""The receiver's defaults (7)."""
CONFIG_KEYS: Mapping[str, tuple[int, str, float, str]]
"""The configuration keys the codec knows: name -> (key id, type name such as "U2" or "L",
scale, unit). One count of a value is `scale` `unit` (CFG-RATE-MEAS: 0.001 s). A key not in
here is named by its id as "0x" and eight lower-case hex digits ("0x40520099"), and that form
is accepted wherever a key name is."""

def config_key(key: str | int, /) -> tuple[str, int, str, float, str]:
    """(name, id, type name, scale, unit) of the configuration key given by its name in
    CONFIG_KEYS, its hex-id name ("0x30210001", any case) or its id. A key the table does not
    know is named by its hex id and typed by the size code in bits 28-30 of the id (1: "L",
    2: "U1", 3: "U2", 4: "U4", 5: "U8"), with scale 1.0 and no unit. An unknown name or an id
    with an illegal size code raises UBXMessageError; a key neither str nor int, TypeError."""

class UBXError(ValueError):
    msg_cls: int
    msg_id: int
    length: int

class UBXParseError(UBXError): ...
class UBXMessageError(UBXError): ...

class _Stream(Protocol):
    def read(self, n: int, /) -> bytes | None: ...

@final
class UBXMessage:
    """A UBX message. Built from fields, or parsed by UBXReader.

    Every payload field is an attribute under its protocol name (NAV-PVT: iTOW, lat, lon,
    pDOP, ...; bit fields such as gnssFixOk also by name). Integers are delivered raw, U1[n]
    arrays as bytes, CH[n] as str, R4/R8 as float. Repeated groups carry a 1-based suffix:
    cno_01, cno_02. INF messages carry their text as `str`. A class/id not in the catalogue has
    the identity "UNKNOWN-0xCC-0xII" and no fields.

    Configuration by key: a CFG-VALSET or CFG-VALGET answer has `cfgData`, a dict key name ->
    value in wire order (L as bool, R4/R8 as float, other types as the raw int); a CFG-VALGET
    request or CFG-VALDEL has `keys`, a list of key names. Their header fields (version,
    layers or layer, transaction, position) are attributes like any other.
    """

    identity: str
    msg_cls: int
    msg_id: int
    msgmode: int
    payload: bytes
    length: int
    rx_time: float | None
    """`time.monotonic()` at which `UBXReader.read()` took the bytes holding the frame's last
    byte from its stream; None for a message built or parsed from bytes."""
    def __init__(self, msgClass: int, msgID: int, mode: int, /, **fields: int | float | bytes | str | Mapping[str | int, bool | int | float] | Iterable[str | int]) -> None:
        """Builds the first form of the message (catalogue order) that has every named field
        and takes the values given: int for integer fields, float (or an int it holds
        exactly) for R4/R8, bytes for U1[n], str for CH[n] and INF `str`. `cfgData` takes a
        mapping key -> value and `keys` an iterable of keys, as `as_dict()` gives them back."""
    @classmethod
    def valset(cls, layers: int, values: Mapping[str | int, bool | int | float], /, *, transaction: int | None = None) -> UBXMessage:
        """CFG-VALSET (mode SET) setting each key of `values` (a name from CONFIG_KEYS, a
        hex-id name, or an id) to its value (bool, int or float by the key's type) in the
        `layers` bitmask (SET_LAYER_*). `transaction` None sends version 0; an action 0..3
        (0 none, 1 (re)start, 2 continue, 3 apply and end) sends version 1 with it. An
        unknown key, a value of the wrong type or outside the key's range, more than 64
        pairs or bad layers raise UBXMessageError naming the key."""
    @classmethod
    def valget(cls, layer: int, keys: Iterable[str | int] | str | int, /, *, position: int = 0) -> UBXMessage:
        """CFG-VALGET request (mode POLL) for `keys` (names or ids, at most 64) from one
        layer (POLL_LAYER_*: 0 RAM, 1 BBR, 2 flash, 7 default), skipping `position` results."""
    @classmethod
    def valdel(cls, layers: int, keys: Iterable[str | int] | str | int, /, *, transaction: int | None = None) -> UBXMessage:
        """CFG-VALDEL (mode SET) removing `keys` from the `layers` bitmask (SET_LAYER_BBR,
        SET_LAYER_FLASH); `transaction` as for valset."""
    def serialize(self) -> bytes: ...
    def as_dict(self) -> dict[str, Any]: ...
    def __getattr__(self, name: str) -> Any: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class UBXReader:
    """UBX frames from `stream.read(n)`. A pyserial port on Linux is read natively when
    `native` is true: poll and read on its descriptor, the interpreter lock released while
    waiting, with pyserial's own exceptions for a closed port and a vanished device."""

    stream: _Stream
    stats: dict[str, int]
    backlog: bool
    """True when `read()` can return at once: bytes taken and not yet scanned, or bytes
    waiting in the stream. Cheap; False when it cannot tell."""
    native: bool
    """True when the stream is read through its descriptor."""
    def __init__(self, stream: _Stream, *, max_length: int = 16384, chunk_size: int = 65536, native: bool = True) -> None: ...
    def read(self) -> tuple[bytes, UBXMessage] | tuple[None, None]:
        """The next frame, or (None, None) when none was complete within the stream's read
        time-out, counted from the call's start whatever arrives, or at the end of the
        stream. Bytes already taken stay buffered for the next call."""
    @classmethod
    def parse(cls, raw: bytes | bytearray | memoryview, /) -> UBXMessage: ...
    def __iter__(self) -> Iterator[tuple[bytes, UBXMessage]]: ...
    def __next__(self) -> tuple[bytes, UBXMessage]: ...
