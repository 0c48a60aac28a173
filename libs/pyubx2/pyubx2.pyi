"""UBX protocol codec: stream reader, message builder and parser."""
from typing import Any, Iterator, Protocol, final

GET: int
SET: int
POLL: int
MAX_PAYLOAD: int

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
    arrays as bytes, CH[n] as str. Repeated groups carry a 1-based suffix: cno_01, cno_02.
    A class/id not in the catalogue has the identity "UNKNOWN-0xCC-0xII" and no fields.
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
    def __init__(self, msgClass: int, msgID: int, mode: int, /, **fields: int | bytes | str) -> None: ...
    def serialize(self) -> bytes: ...
    def as_dict(self) -> dict[str, int | bytes | str]: ...
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
