"""Stand-ins injected through the zq_gps module namespace: serial ports, UBX readers, a
recording logger, a clock whose sleep does not wait, and threads that never run by themselves."""
import types


class RecordingLogger:
    def __init__(self):
        self.records = []

    def info(self, arg):
        self.records.append(("info", arg))

    def debug(self, arg):
        self.records.append(("debug", arg))

    def error(self, arg):
        self.records.append(("error", arg))

    def texts(self, level):
        return [a for lv, a in self.records if lv == level]


class FakePort:
    def __init__(self, events, **kwargs):
        self.kwargs = kwargs
        self.events = events
        self.closed = False
        self.written = []

    def close(self):
        self.events.append(("close", self))
        self.closed = True

    def write(self, data):
        if self.closed:
            raise OSError("Attempting to use a port that is not open")
        self.events.append(("write", self))
        self.written.append(data)
        return len(data)


def fake_serial(events, fail=None):
    """A `serial` module whose Serial records construction; FAIL (an exception) makes it fail."""
    mod = types.SimpleNamespace(opened=[])

    def Serial(**kwargs):
        events.append(("open", kwargs))
        if mod.fail is not None:
            raise mod.fail
        port = FakePort(events, **kwargs)
        mod.opened.append(port)
        return port

    mod.fail = fail
    mod.Serial = Serial
    return mod


class Msg:
    """A parsed message: identity plus whatever fields are given."""

    def __init__(self, identity="NAV-PVT", **fields):
        self.identity = identity
        self.__dict__.update(fields)

    def __repr__(self):
        return "<Msg %s>" % self.identity


def pvt(lon=85000000, lat=475000000, pDOP=150, numSV=9, **extra):
    return Msg("NAV-PVT", lon=lon, lat=lat, pDOP=pDOP, numSV=numSV, **extra)


class ScriptedReader:
    """UBXReader stand-in: read() plays SCRIPT (tuples are returned, exceptions raised, callables
    called), then sets the receiver's stop request so a loop run on the test's thread ends."""

    def __init__(self, script, receiver_ref):
        self.script = list(script)
        self.receiver_ref = receiver_ref
        self.reads = 0

    def read(self):
        self.reads += 1
        if not self.script:
            self.receiver_ref[0].stopit = 1
            return (None, None)
        item = self.script.pop(0)
        if callable(item):
            item = item()
        if isinstance(item, BaseException):
            raise item
        return item


class FakeTime:
    """time stand-in: sleep advances the clock without waiting."""

    def __init__(self, start=1000.0):
        self.now = start
        self.sleeps = []

    def time(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


class FakeThread:
    def __init__(self, registry, **kwargs):
        self.kwargs = kwargs
        self.started = False
        registry.append(self)

    def start(self):
        self.started = True

    def is_alive(self):
        return False


def fake_threading():
    mod = types.SimpleNamespace(threads=[])
    mod.Thread = lambda **kw: FakeThread(mod.threads, **kw)
    return mod
