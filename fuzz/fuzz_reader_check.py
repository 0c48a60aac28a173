"""What the reader fuzz target (fuzz_reader.cpp) checks for one input, from Python: the input's
first byte seeds the chunking, the rest is a receiver's line. The stream is read whole
(io.BytesIO), in seeded pieces, in pieces behind an `in_waiting` like pyserial's, and (short
inputs) a byte at a time; all must give the same frames and parse errors. Every message has every attribute
read and cross-checked. Any failed check raises, and the harness aborts on it.

Also imported by tests/faults/test_faults_fuzz_replay.py to replay saved inputs."""
import io
import operator

from libs.pyubx2 import GET, MAX_PAYLOAD, UBXMessage, UBXMessageError, UBXParseError, UBXReader

# Names a message may or may not have: block suffixes out of range, malformed, plain misses.
PROBES = ("cno_00", "cno_01", "cno_999", "gnssId_1", "svId_", "_01", "extension_01",
          "extension_99", "lat", "flags", "nosuch", "identity_01", "payload_01")


class Pieces:
    """A stream that hands out its bytes in pieces whose sizes follow SEED. A read that comes
    back short is what a time-out looks like to the reader."""

    timeout = 0

    def __init__(self, data, seed, fixed=None):
        self.data = data
        self.pos = 0
        self.state = seed
        self.fixed = fixed

    def _next_size(self):
        if self.fixed:
            return self.fixed
        self.state = (self.state * 1103515245 + 12345) & 0xFFFFFFFF
        return 1 + (self.state >> 16) % 97

    @property
    def exhausted(self):
        return self.pos >= len(self.data)

    def read(self, n):
        n = min(n, self._next_size())
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        return chunk


class WaitingPieces(Pieces):
    """Like pyserial: in_waiting says how much can be read without waiting."""

    def __init__(self, data, seed):
        super().__init__(data, seed)
        self.ready = 0

    @property
    def in_waiting(self):
        if self.ready == 0 and not self.exhausted:
            self.ready = min(self._next_size(), len(self.data) - self.pos)
        return self.ready

    def read(self, n):
        n = min(n, self.ready) if self.ready else n
        chunk = self.data[self.pos:self.pos + n]
        self.pos += len(chunk)
        self.ready = max(0, self.ready - len(chunk))
        return chunk


class Whole(io.BytesIO):
    @property
    def exhausted(self):
        return self.tell() >= len(self.getbuffer())


def same(a, b):
    """Equal values, a NaN from an R4/R8 field being the same as itself."""
    if type(a) is dict and type(b) is dict and a == b:  # the usual case, at C speed
        return list(a) == list(b) and [type(x) for x in a.values()] == [type(y) for y in b.values()]
    if isinstance(a, float) and isinstance(b, float) and a != a and b != b:
        return True
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


def inspect(raw, msg):
    assert type(raw) is bytes and raw[:2] == b"\xb5\x62", raw[:8]
    assert msg.serialize() == raw
    n = int.from_bytes(raw[4:6], "little")
    assert (msg.msg_cls, msg.msg_id, msg.length, msg.msgmode) == (raw[2], raw[3], n, GET)
    assert len(raw) == n + 8 and msg.payload == raw[6:-2]
    ident = msg.identity
    fields = msg.as_dict()
    if ident.startswith("UNKNOWN-"):
        assert ident == "UNKNOWN-0x%02X-0x%02X" % (raw[2], raw[3]) and fields == {}
    else:
        assert fields, ident
    for name, value in fields.items():
        got = getattr(msg, name)
        assert same(got, value), (ident, name, got, value)
    for name in PROBES:
        if name in fields:
            continue
        base, _, k = name.rpartition("_")
        if base and k.isdigit() and int(k) > 0 and "%s_%02d" % (base, int(k)) in fields:
            # "gnssId_1" is another spelling of "gnssId_01"
            assert getattr(msg, name) == fields["%s_%02d" % (base, int(k))]
            continue
        try:
            getattr(msg, name)
        except AttributeError:
            pass
        else:
            raise AssertionError("%s has %s but as_dict() does not" % (ident, name))
    text = repr(msg)
    assert text.startswith("<UBX(" + ident) and text.endswith(")>")
    again = UBXReader.parse(raw)
    assert again == msg and not (again != msg) and hash(again) == hash(msg)
    assert same(again.as_dict(), fields)
    if fields:
        try:
            built = UBXMessage(raw[2], raw[3], GET, **fields)
        except UBXMessageError:
            return
        # The builder may pick another form of the same message; the same form holds the
        # same values. (Text is compared as text: bytes after a NUL are not a value.)
        if built.length == msg.length:
            assert same(built.as_dict(), fields), ident


def drain(stream, look=True):
    """The frames (and parse errors) a reader gives over STREAM; with LOOK, the first message of
    each of the first few kinds is inspected too (once per input is enough: the other ways must
    give the same frames; a recording's repeats of the same messages reach nothing new)."""
    reader = UBXReader(stream)
    kinds = set()
    out = []
    idle = 0
    while idle < 2:
        try:
            raw, msg = reader.read()
        except UBXParseError as e:
            out.append(("parse error", e.msg_cls, e.msg_id, e.length))
            idle = 0
            continue
        if raw is None:
            idle = idle + 1 if stream.exhausted else 0
            continue
        idle = 0
        if look and len(kinds) < 4 and raw[2:6] not in kinds:
            kinds.add(raw[2:6])
            inspect(raw, msg)
        out.append(raw)
    stats = reader.stats
    assert stats["frames"] == len(out), (stats, len(out))
    assert stats["parse_errors"] == sum(type(x) is tuple for x in out)
    return out


def check(data):
    if not data:
        return
    seed, body = data[0], bytes(data[1:])
    whole = drain(Whole(body))
    assert drain(Pieces(body, seed), False) == whole
    assert drain(WaitingPieces(body, seed), False) == whole
    if len(body) <= 64:  # a read per byte: longer inputs made an execution slow
        assert drain(Pieces(body, seed, fixed=1), False) == whole
    embedded(body, seed)
    # Iteration stops at the first read that comes back without a frame.
    got = []
    try:
        for raw, _ in UBXReader(Whole(body)):
            got.append(raw)
    except UBXParseError:
        pass
    assert got == whole[:len(got)]


# A true frame holds whatever its payload holds: the input as the payload of a message of a
# class receivers send (an id no catalogue row has, so any length fits) comes out whole, between
# two others, however the stream is cut.
CFG_RXM = b"\xb5\x62\x06\x11\x02\x00\x08\x00\x21\x91"


def embedded(body, seed):
    payload = body[:MAX_PAYLOAD]
    body = bytes([0x0A, 0xEE]) + len(payload).to_bytes(2, "little") + payload
    # Fletcher: ck_b sums the running ck_a, i.e. each byte times the sums it enters.
    ck_a = sum(body) & 0xFF
    ck_b = sum(map(operator.mul, range(len(body), 0, -1), body)) & 0xFF
    frame = b"\xb5\x62" + body + bytes([ck_a, ck_b])
    stream = CFG_RXM + frame + CFG_RXM
    want = [CFG_RXM, frame, CFG_RXM]
    assert drain(Whole(stream), False) == want
    assert drain(Pieces(stream, seed), False) == want
