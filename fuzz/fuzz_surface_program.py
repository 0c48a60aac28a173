"""The programs of the Python surface fuzzer (fuzz_surface.py) and the interpreter that runs
them in the forked child: the names a program may reach for, the recorded receiver output it
draws streams and messages from, and Program, which evaluates its expressions, builds its
values (hostile objects and callables included) and plays its actions."""
import gc
import glob
import os
import threading
import time
import _thread

# The harness's own tools, taken before any program runs: a program may replace what it can
# reach through the modules (time.sleep, threading.Thread, os.write, ...).
_monotonic, _cpu, _sleep = time.monotonic, time.process_time, time.sleep
_os_write, _os_exit = os.write, os._exit
_Thread, _thread_count, _collect = threading.Thread, _thread._count, gc.collect
_get_objects = gc.get_objects

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
ROOT = os.environ.get("ZQ_ROOT", os.path.join(REPO, "build", "root"))
CAPTURES = sorted(glob.glob(os.path.join(REPO, "tests", "captures", "*.log")))

# Limits, generous for a loaded machine (the fuzzer runs at the lowest priority): a thread
# counts as never ending when it keeps running after the budget is spent for THREAD_CPU of
# the process's CPU time, or for THREAD_WALL seconds without using it (blocked).
THREAD_CPU = 3.0
THREAD_WALL = 60.0
CALL_BUDGET = 3000  # calls of generated callables per program; then they raise Exhausted


# ---------------------------------------------------------------------------------------------
# What a program reaches for: names of the modules' surface, and the recorded captures
# ---------------------------------------------------------------------------------------------

EXCEPTIONS = {
    "Exception": Exception, "ValueError": ValueError, "TypeError": TypeError,
    "OSError": OSError, "KeyboardInterrupt": KeyboardInterrupt, "SystemExit": SystemExit,
    "RecursionError": RecursionError, "MemoryError": MemoryError,
    "StopIteration": StopIteration, "GeneratorExit": GeneratorExit,
    "AttributeError": AttributeError, "KeyError": KeyError,
}
RECEIVER_METHODS = ["__init__", "run", "loop_gps", "stop", "getparseddata", "setPowerMode",
                    "getgps", "getlat", "getlon", "getversion", "restart"]
RECEIVER_ATTRS = ["lat", "lon", "acc", "gpsmode", "parseddata", "numofsat", "gSpeed",
                  "headAcc", "headMot", "last_Time", "parsed_data", "index", "stopit", "flag",
                  "port", "ser", "ubr", "t1", "numSV", "pDOP", "fixType", "__dict__",
                  "__class__"]
MODULE_NAMES = ["serial", "UBXReader", "UBXMessage", "SET", "time", "threading", "l",
                "zq_error", "sys", "print", "version", "os", "datetime", "log", "logfile"]
COMPONENT_ATTRS = ["read", "close", "write", "is_alive", "start", "join", "ident", "info",
                   "error", "debug", "Serial", "Thread", "sleep", "time", "exit",
                   "in_waiting", "stream", "serialize"]
CODEC_NAMES = ["UBXReader", "UBXMessage", "UBXError", "UBXParseError", "UBXMessageError",
               "GET", "SET", "POLL", "MAX_PAYLOAD"]
READER_ATTRS = ["read", "parse", "__iter__", "__next__", "stats", "stream", "__init__",
                "__repr__", "__eq__", "__hash__"]
HUB_METHODS = ["wait", "wait_state", "messages", "states", "subscribe", "frames", "wait_async",
               "messages_async", "close", "__enter__", "__exit__"]
HUB_ATTRS = ["state", "latest", "receiver", "closed", "dropped", "cancel", "active", "callback",
             "__next__", "__anext__", "__iter__", "__aiter__"]
HUB_PARAMS = ["timeout", "identities", "states", "capacity", "since", "kinds", "callback"]
# How long a hub program runs before its hubs are closed: close() wakes every waiter, so a
# program that waits without a timeout on a quiet stream ends too (and close races the rest).
HUB_LIFETIME = 3.0
MESSAGE_ATTRS = ["identity", "msg_cls", "msg_id", "msgmode", "payload", "length",
                 "serialize", "as_dict", "__eq__", "__hash__", "__repr__", "__str__",
                 "__getattr__", "__init__", "__ne__", "__lt__"]



# Sample receiver output for streams and messages: the recorded captures.
def _load_samples():
    stream = b"".join(open(f, "rb").read() for f in CAPTURES)[:200000]
    frames = []
    i = stream.find(b"\xb5\x62")
    while i >= 0 and len(frames) < 64:
        n = int.from_bytes(stream[i + 4:i + 6], "little") + 8
        frames.append(stream[i:i + n])
        i = stream.find(b"\xb5\x62", i + n)
    return stream, frames


SAMPLE_STREAM, FRAMES = _load_samples()
SAMPLES = []  # frames the codec parses, filled in by load_modules


# ---------------------------------------------------------------------------------------------
# Running a program (in the child)
# ---------------------------------------------------------------------------------------------

class Exhausted(BaseException):
    """Raised by every generated callable once the program's call budget is spent."""



class Program:
    """The objects of one running program and the interpreter of its value language."""

    def __init__(self, mods, data):
        self.mods = mods  # name -> module: zq_gps, codec
        self.data = data
        self.slots = []
        self.receivers = []
        self.readers = []
        self.messages = []
        self.threads = []
        self.calls = 0
        self.exhausted = False
        self.outcomes = set()
        self.lock = _thread.allocate_lock()

    # -- budget ---------------------------------------------------------------------------------
    def spend(self):
        with self.lock:
            self.calls += 1
            if self.exhausted or self.calls > CALL_BUDGET:
                self.exhausted = True
                raise Exhausted()

    # -- expressions: objects of the running program --------------------------------------------
    def ev(self, e):
        kind = e[0]
        if kind == "mod":
            return self.mods.get(e[1])
        if kind == "g":
            if not self.receivers:
                zq = self.mods["zq_gps"]
                self.receivers.append(zq.zq_gps.__new__(zq.zq_gps))
            return self.receivers[e[1] % len(self.receivers)]
        if kind == "hub":
            g = self.ev(["g", e[1]])
            return self.mods["zq_hub"].attach(g)
        if kind == "reader":
            return self.readers[e[1] % len(self.readers)] if self.readers else None
        if kind == "msg":
            if self.messages:
                return self.messages[e[1] % len(self.messages)]
            codec = self.mods.get("codec")
            return codec.UBXReader.parse(SAMPLES[e[1] % len(SAMPLES)]) if codec else None
        if kind == "slot":
            return self.slots[e[1] % len(self.slots)] if self.slots else None
        if kind == "attr":
            return getattr(self.ev(e[1]), e[2])
        raise ValueError(e)

    # -- values: arguments built fresh for each use ---------------------------------------------
    def build(self, v):
        kind = v[0]
        if kind == "int":
            return v[1]
        if kind == "float":
            return float(v[1])
        if kind == "str":
            return v[1]
        if kind in ("bytes", "bytearray", "memoryview"):
            raw = bytes.fromhex(v[1])
            return {"bytes": bytes, "bytearray": bytearray, "memoryview": memoryview}[kind](raw)
        if kind == "capture":
            return SAMPLE_STREAM[v[1]:v[1] + v[2]]
        if kind == "const":
            return {"None": None, "True": True, "False": False, "Ellipsis": ...,
                    "NotImplemented": NotImplemented}[v[1]]
        if kind == "tuple":
            return tuple(self.build(x) for x in v[1])
        if kind == "list":
            return [self.build(x) for x in v[1]]
        if kind == "dict":
            out = {}
            for k, x in v[1]:
                key = self.build(k)
                try:
                    out[key] = self.build(x)
                except TypeError:
                    out[repr(type(key))] = self.build(x)
            return out
        if kind == "fn":
            return self.function(v[1])
        if kind == "obj":
            return self.hostile(v[1], v[2], v[3])
        if kind == "expr":
            return self.ev(v[1])
        if kind == "exc":
            return EXCEPTIONS[v[1]]("fuzz")
        raise ValueError(v)

    def behave(self, behaviours, state, args):
        """Plays the next behaviour of a generated callable (they cycle)."""
        self.spend()
        if not behaviours:
            return None
        b = behaviours[state[0] % len(behaviours)]
        state[0] += 1
        kind = b[0]
        if kind == "return":
            return self.build(b[1])
        if kind == "raise":
            raise EXCEPTIONS[b[1]]("fuzz")
        if kind == "call":
            f = self.ev(b[1])
            return f(*[self.build(a) for a in b[2]])
        if kind == "more":  # more bytes than the read asked for
            n = args[0] if args and type(args[0]) is int and 0 <= args[0] < 1 << 20 else 1
            return SAMPLE_STREAM[b[1]:b[1] + n + b[2]] or b"\xb5" * (n + b[2])
        if kind == "yield":
            _sleep(0.001)
            return None
        raise ValueError(b)

    def function(self, behaviours):
        state = [0]

        def generated(*args, **kwargs):
            return self.behave(behaviours, state, args)
        return generated

    def hostile(self, attrs, props, dunders):
        """An object with the given attributes, properties and dunder methods."""
        ns = {}
        for name, behaviours in props.items():
            state = [0]
            ns[name] = property(lambda obj, b=behaviours, s=state: self.behave(b, s, ()))
        for name, behaviours in dunders.items():
            state = [0]
            ns[name] = (lambda b, s: lambda obj, *a, **k: self.behave(b, s, a))(behaviours, state)
        cls = type("Hostile", (), ns)
        obj = cls()
        for name, value in attrs.items():
            try:
                obj.__dict__[name] = self.build(value)
            except BaseException:
                pass
        return obj

    def kwargs(self, plan):
        if plan and plan[0] == "many":
            return {"k%d" % i: i for i in range(plan[1])}
        return {k: self.build(v) for k, v in plan}

    # -- actions ----------------------------------------------------------------------------------
    def keep(self, result):
        self.slots.append(result)
        codec = self.mods.get("codec")
        if codec is not None:
            if type(result) is codec.UBXReader:
                self.readers.append(result)
            elif type(result) is codec.UBXMessage:
                self.messages.append(result)
            elif type(result) is tuple and len(result) == 2 and \
                    type(result[1]) is codec.UBXMessage:
                self.messages.append(result[1])
        zq = self.mods.get("zq_gps")
        if zq is not None and isinstance(result, zq.zq_gps):
            self.receivers.append(result)

    def act(self, a):
        kind = a[0]
        if kind == "call":
            f = self.ev(a[1])
            self.keep(f(*[self.build(x) for x in a[2]], **self.kwargs(a[3])))
        elif kind == "get":
            self.keep(getattr(self.ev(a[1]), a[2]))
        elif kind == "set":
            setattr(self.ev(a[1]), a[2], self.build(a[3]))
        elif kind == "del":
            delattr(self.ev(a[1]), a[2])
        elif kind == "global":
            mod = self.mods["zq_gps"]
            if a[2] is None:
                delattr(mod, a[1])
            else:
                setattr(mod, a[1], self.build(a[2]))
        elif kind == "threads":
            target = self.ev(a[1])
            for name in a[2]:
                t = _Thread(target=self.quietly, args=(getattr(target, name),))
                self.threads.append(t)
                t.start()
        elif kind == "iter":
            for i, item in enumerate(self.ev(a[1])):
                self.keep(item)
                if i >= a[2]:
                    break
        elif kind == "pause":
            _sleep(a[1] / 1000.0)
        elif kind == "drop":
            if self.slots:
                del self.slots[a[1] % len(self.slots)]
            self.receivers = self.receivers[:0] if a[1] % 2 else self.receivers
        elif kind == "chain":
            zq = self.mods["zq_gps"]
            head = None
            for _ in range(a[1]):
                e = zq.zq_error.__new__(zq.zq_error)
                setattr(e, a[2], head)
                head = e
            del head, e
        elif kind == "gc":
            _collect()
        else:
            raise ValueError(a)

    def close_hubs(self):
        """Closes every hub alive, whoever made it (the program may have lost its receivers
        and replaced the module's names: the type was taken at load)."""
        hub_type = self.mods.get("hub_type")
        if hub_type is None:
            return
        for o in _get_objects():
            if type(o) is hub_type:
                try:
                    o.close()
                except BaseException:
                    pass

    def start_hub_lifetime(self):
        """Closes the program's hubs every HUB_LIFETIME, from a thread of the harness's."""
        def later():
            due = _monotonic() + HUB_LIFETIME
            while not self.exhausted:  # finish() sets it, and counts this thread out then
                if _monotonic() >= due:
                    self.close_hubs()
                    due = _monotonic() + HUB_LIFETIME
                _sleep(0.02)
        t = _Thread(target=later, daemon=True)
        t.start()

    def quietly(self, f):
        try:
            f()
        except BaseException:
            pass

    def run(self, actions):
        for i, a in enumerate(actions):
            try:
                self.act(a)
                self.outcomes.add("%s:%s:ok" % (a[0], _describe(a)))
            except BaseException as e:
                self.outcomes.add("%s:%s:%s" % (a[0], _describe(a), type(e).__name__))

    def finish(self):
        """Ends the program's threads: the budget is spent, so every generated callable raises,
        and every receiver is asked to stop. Returns the number of threads still running after
        the grace time (counted by the interpreter itself: the threading module may have been
        replaced by the program)."""
        with self.lock:
            self.exhausted = True
        self.close_hubs()
        for g in self.receivers:
            try:
                g.__dict__["stopit"] = 1
            except BaseException:
                pass
        deadline = _monotonic() + THREAD_WALL
        cpu_limit = _cpu() + THREAD_CPU
        while _thread_count() and _monotonic() < deadline and _cpu() < cpu_limit:
            _sleep(0.01)
        stuck = _thread_count()
        if not stuck:
            try:
                self.slots.clear()
                self.receivers.clear()
                self.readers.clear()
                self.messages.clear()
                _collect()
            except BaseException:
                pass
        return stuck


def _describe(a):
    if a[0] == "call" or a[0] in ("get", "set", "del"):
        e = a[1]
        if a[0] == "call" and e[0] == "attr":
            return e[2]
        return a[2] if a[0] != "call" else e[0]
    if a[0] == "global":
        return a[1]
    return ""
