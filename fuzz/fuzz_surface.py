#!/usr/bin/python3
"""Fuzzer of the Python surface of zq_gps and libs.pyubx2, driven by Hypothesis.

Hypothesis draws programs: lists of actions on the two extension modules (calls of every
constructor, method and attribute with arbitrary positional and keyword arguments, attributes
set, replaced and deleted, module names replaced by hostile stand-ins, methods of a receiver
run from several threads at once). Every argument is built from a small value language: ints
of any size, nan and inf, bytes-likes, text with lone surrogates and NULs, hundreds of
keywords, objects whose dunders raise (Exception, KeyboardInterrupt, SystemExit, ...) or lie,
streams whose read returns the wrong type or too much or nothing, and callables that call back
into the module. Each program runs in a forked child; a Python exception is an ordinary
outcome, a signal, a sanitizer report (non-zero exit), a hang or a thread that never ends is
a finding. Hypothesis shrinks a finding to a minimal program, saved as JSON.

Targets:
  module  zq_gps: the receiver, zq_error and the module's names (with the real codec)
  codec   libs.pyubx2: UBXReader over hostile streams, UBXMessage, parsed messages
  import  import zq_gps with broken `libs` stand-ins, odd ROOT_PATH values and patched
          os / sys / datetime, then a few calls on what was imported

Usage:
  fuzz_surface.py run TARGET SECONDS [--out DIR]   search; findings go to DIR (default
                                                   build-fuzz/surface), exit status 1 if any
  fuzz_surface.py exec FILE                        run one saved program in this process
  fuzz_surface.py replay FILE...                   run saved programs, each in a new process
Environment: ZQ_ROOT (staged root holding zq_gps and libs/, default build/root)."""
import gc
import glob
import hashlib
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import _thread

# The harness's own tools, taken before any program runs: a program may replace what it can
# reach through the modules (time.sleep, threading.Thread, os.write, ...).
_monotonic, _cpu, _sleep = time.monotonic, time.process_time, time.sleep
_os_write, _os_exit = os.write, os._exit
_Thread, _thread_count, _collect = threading.Thread, _thread._count, gc.collect

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)
ROOT = os.environ.get("ZQ_ROOT", os.path.join(REPO, "build", "root"))
CAPTURES = sorted(glob.glob(os.path.join(REPO, "tests", "captures", "*.log")))

# Limits, generous for a loaded machine (the fuzzer runs at the lowest priority): a thread
# counts as never ending when it keeps running after the budget is spent for THREAD_CPU of
# the process's CPU time, or for THREAD_WALL seconds without using it (blocked).
CHILD_TIMEOUT = 120.0  # seconds for one program, start to end
THREAD_CPU = 3.0
THREAD_WALL = 60.0
CALL_BUDGET = 3000  # calls of generated callables per program; then they raise Exhausted

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
MESSAGE_ATTRS = ["identity", "msg_cls", "msg_id", "msgmode", "payload", "length",
                 "serialize", "as_dict", "__eq__", "__hash__", "__repr__", "__str__",
                 "__getattr__", "__init__", "__ne__", "__lt__"]


class Exhausted(BaseException):
    """Raised by every generated callable once the program's call budget is spent."""


# ---------------------------------------------------------------------------------------------
# Running a program (in the child)
# ---------------------------------------------------------------------------------------------

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


def load_modules(target):
    """Imports what the target needs, in the parent (the children inherit it)."""
    if target == "import":
        return {}
    sys.path.insert(0, ROOT)
    import libs.pyubx2 as codec
    for raw in FRAMES:
        try:
            codec.UBXReader.parse(raw)
            SAMPLES.append(raw)
        except Exception:
            pass
    mods = {"codec": codec}
    if target == "module":
        import zq_gps
        mods["zq_gps"] = zq_gps
    return mods


IMPORT_HELPERS = '''
class _H:
    def __getattr__(self, n): raise KeyboardInterrupt
    def __str__(self): raise SystemExit(5)
    def __eq__(self, o): raise RuntimeError("eq")
    __hash__ = None
class _L:
    def info(self, a): pass
    debug = error = info
'''


def run_import(program, mods, ext_dir):
    """The import target's program: stand-in libs in a fresh directory, patches, import."""
    work = tempfile.mkdtemp(prefix="zq-fuzz-")
    os.chdir(work)
    for rel, text in program["files"].items():
        if text is None:
            continue
        path = os.path.join(work, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(IMPORT_HELPERS + text)
    sys.path[:0] = [ext_dir, work]
    root = program.get("root_path")
    os.environ.pop("ROOT_PATH", None)
    if root is not None:
        try:
            os.environ["ROOT_PATH"] = root
        except (ValueError, UnicodeError):
            pass
    p = Program(mods, program)
    import builtins
    import datetime
    targets = {"os": os, "os.path": os.path, "sys": sys, "datetime": datetime,
               "builtins": builtins}
    for where, name, value in program.get("patches", []):
        try:
            if where == "datetime.date":  # a date class with one method replaced
                datetime.date = type("Day", (datetime.date,), {name: p.build(value)})
            else:
                setattr(targets[where], name, p.build(value))
        except BaseException:
            pass
    try:
        import zq_gps
        p.outcomes.add("import:ok")
        mods["zq_gps"] = zq_gps
        mods["codec"] = sys.modules.get("libs.pyubx2")
    except BaseException as e:
        p.outcomes.add("import:%s" % type(e).__name__)
        return p
    p.run(program.get("actions", []))
    return p


def execute(program, ext_dir=None):
    """Runs PROGRAM in this process. Returns (outcomes, stuck thread names)."""
    mods = dict(MODULES)
    if program["target"] == "import":
        p = run_import(program, mods, ext_dir)
    else:
        p = Program(mods, program)
        zq = mods.get("zq_gps")
        if zq is not None:
            # The environment: every module name the receiver reaches for, as drawn.
            for name, value in program.get("env", {}).items():
                try:
                    setattr(zq, name, p.build(value))
                except BaseException:
                    pass
        p.run(program["actions"])
    stuck = p.finish()
    return p.outcomes, stuck


# ---------------------------------------------------------------------------------------------
# The parent: one forked child per program
# ---------------------------------------------------------------------------------------------

MODULES = {}


class Finding(Exception):
    pass


def run_forked(program, ext_dir):
    """Runs PROGRAM in a child. Returns (failure text or None, outcomes)."""
    log = tempfile.TemporaryFile()
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            os.close(rfd)
            os.dup2(log.fileno(), 1)
            os.dup2(log.fileno(), 2)
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            outcomes, stuck = execute(program, ext_dir)
            report = {"outcomes": sorted(outcomes), "stuck": stuck}
            data = json.dumps(report).encode()
            while data:
                data = data[_os_write(wfd, data):]
        except BaseException:
            traceback.print_exc()
            code = 3
        _os_exit(code)
    os.close(wfd)
    pidfd = os.pidfd_open(pid)
    ready, _, _ = select.select([pidfd], [], [], CHILD_TIMEOUT)
    failure = None
    if not ready:
        os.kill(pid, signal.SIGKILL)
        failure = "hang: no end after %.0f s" % CHILD_TIMEOUT
    _, status = os.waitpid(pid, 0)
    os.close(pidfd)
    with os.fdopen(rfd, "rb") as r:
        data = r.read()
    report = json.loads(data) if data else {"outcomes": [], "stuck": 0}
    if failure is None:
        if os.WIFSIGNALED(status):
            failure = "signal %d" % os.WTERMSIG(status)
        elif os.WEXITSTATUS(status) != 0:
            failure = "exit status %d" % os.WEXITSTATUS(status)
        elif report["stuck"]:
            failure = "%d threads never ended" % report["stuck"]
    if failure:
        log.seek(0)
        tail = log.read()[-4000:].decode("utf-8", "replace")
        failure += "\n" + tail
    log.close()
    return failure, set(report["outcomes"])


def extension_dir():
    """A directory holding only the extension, for the import target's hosts."""
    (ext,) = glob.glob(os.path.join(ROOT, "zq_gps*.so"))
    d = tempfile.mkdtemp(prefix="zq-fuzz-ext-")
    os.symlink(ext, os.path.join(d, os.path.basename(ext)))
    return d


def search(target, seconds, out):
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis.database import DirectoryBasedExampleDatabase
    from hypothesis.errors import Flaky
    import fuzz_surface_strategies as strategies

    MODULES.update(load_modules(target))
    ext_dir = extension_dir()
    work = tempfile.mkdtemp(prefix="zq-fuzz-logs-")
    os.environ["ROOT_PATH"] = work
    os.chdir(work)
    os.makedirs(out, exist_ok=True)
    stats = {"executions": 0, "outcomes": set(), "findings": []}
    strategy = strategies.program(target, SAMPLES)

    @settings(max_examples=50, deadline=None, database=DirectoryBasedExampleDatabase(
        os.path.join(out, "hypothesis-db-" + target)),
        suppress_health_check=list(HealthCheck), report_multiple_bugs=False,
        phases=[Phase.reuse, Phase.generate, Phase.shrink], print_blob=False)
    @given(strategy)
    def one(program):
        if time.monotonic() > hard_end:
            return  # out of time while shrinking: the smallest failure so far is kept
        stats["executions"] += 1
        failure, outcomes = run_forked(program, ext_dir)
        stats["outcomes"] |= outcomes
        if failure:
            stats["failure"] = (program, failure)
            raise Finding(failure)

    end = time.monotonic() + seconds
    hard_end = end + max(120.0, seconds)  # shrinking a finding may take as long again
    rounds = 0
    while time.monotonic() < end:
        rounds += 1
        stats["failure"] = None
        try:
            one()
        except (Finding, Flaky):
            if not stats["failure"]:
                raise
            program, failure = stats["failure"]
            text = json.dumps(program, sort_keys=True)
            name = "%s-%s.json" % (target, hashlib.sha1(text.encode()).hexdigest()[:12])
            with open(os.path.join(out, name), "w") as fh:
                fh.write(text + "\n")
            stats["findings"].append((name, failure))
            print("fuzz_surface: FINDING %s: %s" % (name, failure[:2000]), flush=True)
            break
    with open(os.path.join(out, "outcomes-%s.txt" % target), "w") as fh:
        fh.write("".join(o + "\n" for o in sorted(stats["outcomes"])))
    print("fuzz_surface %s: %d executions in %.0f s (%d rounds), %d distinct outcomes, "
          "%d findings" % (target, stats["executions"], seconds, rounds,
                           len(stats["outcomes"]), len(stats["findings"])), flush=True)
    return 1 if stats["findings"] else 0


def main(argv):
    if len(argv) >= 3 and argv[0] == "run":
        out = os.path.join(REPO, "build-fuzz", "surface")
        if "--out" in argv:
            out = argv[argv.index("--out") + 1]
        sys.path.insert(0, HERE)
        return search(argv[1], float(argv[2]), os.path.abspath(out))
    if len(argv) == 2 and argv[0] == "exec":
        with open(argv[1]) as f:
            program = json.load(f)
        MODULES.update(load_modules(program["target"]))
        ext_dir = extension_dir() if program["target"] == "import" else None
        work = tempfile.mkdtemp(prefix="zq-fuzz-logs-")
        os.environ["ROOT_PATH"] = work
        os.chdir(work)
        _, stuck = execute(program, ext_dir)
        if stuck:
            print("%d threads never ended" % stuck, flush=True)
            _os_exit(4)
        print("fuzz_surface: program ended", flush=True)
        return 0
    if len(argv) >= 2 and argv[0] == "replay":
        status = 0
        for path in argv[1:]:
            proc = subprocess.run([sys.executable, os.path.abspath(__file__), "exec", path],
                                  capture_output=True, text=True, timeout=120)
            ok = proc.returncode == 0 and "fuzz_surface: program ended" in proc.stdout
            print("%s %s" % ("ok  " if ok else "FAIL", path))
            if not ok:
                status = 1
                print(proc.stdout[-2000:] + proc.stderr[-4000:])
        return status
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
