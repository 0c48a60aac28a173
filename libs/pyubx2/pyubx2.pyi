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
    def __init__(self, msgClass: int, msgID: int, mode: int, /, **fields: int | bytes | str) -> None: ...
    def serialize(self) -> bytes: ...
    def as_dict(self) -> dict[str, int | bytes | str]: ...
    def __getattr__(self, name: str) -> Any: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class UBXReader:
    stream: _Stream
    stats: dict[str, int]
    def __init__(self, stream: _Stream, *, max_length: int = 16384, chunk_size: int = 65536) -> None: ...
    def read(self) -> tuple[bytes, UBXMessage] | tuple[None, None]: ...
    @classmethod
    def parse(cls, raw: bytes | bytearray | memoryview, /) -> UBXMessage: ...
    def __iter__(self) -> Iterator[tuple[bytes, UBXMessage]]: ...
    def __next__(self) -> tuple[bytes, UBXMessage]: ...
