"""The serial line to the receiver and the exchanges on it: a request sent, then an ACK or an
answer waited for within the time-out, sent again after a time-out as often as --retries
says. Frames are built and read by the codec, by the catalogue's names."""
import time

from . import codec
from .errors import NO_ANSWER, NO_PORT, ConfigError, Rejected, bad_arguments
from .keys import describe, key_id, layer_names, valset_frame

CFG = 0x06
CFG_VALSET, CFG_VALGET = 0x8A, 0x8B


class Link:
    def __init__(self, port, baud, timeout, retries):
        self.port, self.baud = port, baud
        self.timeout, self.retries = timeout, retries
        self.ser = self.reader = None
        self.open(baud)

    def open(self, baud):
        serial = codec.serial
        try:
            # Short reads so that every wait below keeps its own deadline.
            self.ser = serial.Serial(self.port, baud, timeout=0.1)
        except (serial.SerialException, OSError, ValueError) as e:
            raise ConfigError(NO_PORT, "cannot open %s at %d baud: %s" % (self.port, baud, e)
                              ) from e
        self.baud = baud
        self.reader = codec.ubx.UBXReader(self.ser)

    def reopen(self, baud):
        self.close()
        self.open(baud)

    def close(self):
        if self.ser is not None:
            self.ser.close()
            self.ser = None

    # -- one exchange --

    def wait(self, accept, deadline):
        """The first verdict ACCEPT(message) gives that is not None, or None at DEADLINE."""
        while time.monotonic() < deadline:
            try:
                _raw, msg = self.reader.read()
            except (codec.serial.SerialException, OSError) as e:
                raise ConfigError(NO_ANSWER, "reading %s failed: %s" % (self.port, e)) from e
            except Exception:  # a damaged frame on the line: keep listening
                continue
            if msg is None or isinstance(msg, str):
                continue
            verdict = accept(msg)
            if verdict is not None:
                return verdict
        return None

    def send(self, frame):
        try:
            # What came before this request is no answer to it: drop it, also from the reader.
            self.ser.reset_input_buffer()
            self.reader = codec.ubx.UBXReader(self.ser)
            self.ser.write(frame)
            self.ser.flush()
        except (codec.serial.SerialException, OSError) as e:
            raise ConfigError(NO_ANSWER, "writing to %s failed: %s" % (self.port, e)) from e

    def transact(self, frame, accept, what, tries=None):
        tries = self.retries + 1 if tries is None else tries
        for _ in range(tries):
            self.send(frame)
            verdict = self.wait(accept, time.monotonic() + self.timeout)
            if verdict is not None:
                return verdict
        raise self.no_answer(what, tries)

    def no_answer(self, what, tries):
        return ConfigError(NO_ANSWER, "no answer to %s from %s within %.1f s (%d tries): is it a "
                           "u-blox receiver, and are the port and --baud %d right?"
                           % (what, self.port, self.timeout, tries, self.baud))

    @staticmethod
    def ack_of(msg_id):
        def accept(msg):
            if msg.identity in ("ACK-ACK", "ACK-NAK") and (msg.clsID, msg.msgID) == (CFG, msg_id):
                return msg.identity
            return None
        return accept

    def confirm(self, frame, msg_id, what, tries=None):
        if self.transact(frame, self.ack_of(msg_id), what, tries) == "ACK-NAK":
            raise Rejected("the receiver rejected %s (ACK-NAK)" % what)
        print("%s: acknowledged" % what)

    def poll(self, cls, msg_id, what, accept_answer=lambda msg: True, tries=None, **fields):
        """The receiver's answer to a poll of the message with FIELDS, or None when it refuses
        it (ACK-NAK). A CFG poll's answer is followed by an ACK-ACK: waited for too, so that it
        is not taken for the acknowledgement of what is sent next."""
        frame = codec.ubx.UBXMessage(cls, msg_id, codec.ubx.POLL, **fields).serialize()
        tries = self.retries + 1 if tries is None else tries
        state = {}

        def accept(msg):
            if (msg.msg_cls, msg.msg_id) == (cls, msg_id) and accept_answer(msg):
                state["answer"] = msg
            elif msg.identity in ("ACK-ACK", "ACK-NAK") and (msg.clsID, msg.msgID) == (cls,
                                                                                       msg_id):
                state["ack"] = msg.identity
            if state.get("ack") == "ACK-NAK":
                return "nak"
            if "answer" in state and (cls != CFG or "ack" in state):
                return "answer"
            return None
        for _ in range(tries):
            self.send(frame)
            verdict = self.wait(accept, time.monotonic() + self.timeout)
            if verdict == "nak":
                return None
            if "answer" in state:  # with its ACK-ACK, or without one in the time allowed
                return state["answer"]
        raise self.no_answer(what, tries)

    # -- configuration: a legacy message, or values by key --

    def configure(self, msg_id, what, **fields):
        """The legacy CFG message MSG_ID with FIELDS (by the catalogue's names), confirmed."""
        try:
            frame = codec.ubx.UBXMessage(CFG, msg_id, codec.ubx.SET, **fields).serialize()
        except (codec.ubx.UBXError, TypeError, ValueError, OverflowError) as e:
            raise bad_arguments("%s: %s" % (what, e)) from None
        self.confirm(frame, msg_id, what)

    def valset(self, values, layers=None, what=None):
        layers = codec.ubx.SET_LAYER_RAM if layers is None else layers
        what = what or "CFG-VALSET %s %s" % (layer_names(layers), describe(values))
        self.confirm(valset_frame(values, layers), CFG_VALSET, what)

    def valget(self, keys, layer):
        """{Key: value} from LAYER for the keys it holds (battery-backed RAM and flash hold
        only what was saved there); the answer and its ACK-ACK may come in either order."""
        got = {}
        step = codec.ubx.MAX_KEYS
        for start in range(0, len(keys), step):
            part = keys[start:start + step]
            try:
                frame = codec.ubx.UBXMessage.valget(layer, [k.name for k in part]).serialize()
            except (codec.ubx.UBXError, TypeError, ValueError) as e:
                raise bad_arguments(str(e)) from None
            state = {}

            def accept(msg):
                if msg.identity == "CFG-VALGET" and getattr(msg, "layer", None) == layer:
                    state["data"] = msg.cfgData
                elif msg.identity in ("ACK-ACK", "ACK-NAK") and (msg.clsID, msg.msgID) == (
                        CFG, CFG_VALGET):
                    state["ack"] = msg.identity
                if state.get("ack") == "ACK-NAK":
                    return "nak"
                return "ok" if "data" in state and "ack" in state else None

            what = "CFG-VALGET %s" % " ".join(k.name for k in part)
            if self.transact(frame, accept, what) == "nak":
                raise Rejected("the receiver rejected %s (ACK-NAK): a key it does not have, "
                               "or a layer it does not keep" % what)
            answer = {key_id(name): value for name, value in state["data"].items()}
            for k in part:
                if k.id in answer:
                    got[k] = answer[k.id]
        return got
