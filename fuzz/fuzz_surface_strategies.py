"""Hypothesis strategies of fuzz_surface.py: programs as JSON-able lists, in the value language
that fuzz_surface_program.Program interprets (see its build, behave and ev)."""
from hypothesis import strategies as st

import fuzz_surface_program as fs

EXC_NAMES = sorted(fs.EXCEPTIONS)


def _as_list(t):
    return list(t)


def _apply(t):
    return t[0](*t[1:])


def B(f, *parts):
    """F applied to values drawn from PARTS: st.builds, but through a named function, as
    Hypothesis describes the function of every draw and a lambda's description means parsing
    its source."""
    return st.tuples(st.just(f), *parts).map(_apply)


ODD_TEXTS = ["", "\ud800", "\udc80", "a\x00b", "\x00", "NAV-PVT", "/dev/ttyACM0", "\U0010ffff",
             "x" * 5000, "%s%n%U", "\udcff/logs", "e", "error_code", "gpsmode", "port"]
ODD_INTS = [0, 1, 2, -1, 6, 0x11, 0x35, 7, 255, 256, 65535, 65536, 2**31 - 1, 2**31, 2**32,
            2**63 - 1, 2**63, 2**64, -2**63 - 1, 10**30, -10**30]
FLOATS = ["nan", "inf", "-inf", "0.0", "-0.0", "1e308", "2.5", "0.025", "1.0"]
CONSTS = ["None", "True", "False", "Ellipsis", "NotImplemented"]
DUNDERS = ["__eq__", "__ne__", "__lt__", "__hash__", "__str__", "__repr__", "__bool__",
           "__index__", "__int__", "__float__", "__len__", "__iter__", "__next__",
           "__getattr__", "__call__", "__getitem__", "__contains__", "__format__", "__add__",
           "__radd__", "__truediv__", "__del__", "__setattr__"]
PARAM_NAMES = ["gpsmode", "port", "e", "error_code", "stream", "max_length", "chunk_size",
               "lpMode", "mode", "msgClass", "msgID", "raw", "self"]


def texts():
    surrogates = st.text(st.characters(blacklist_categories=()), max_size=12)
    return st.one_of(st.sampled_from(ODD_TEXTS), surrogates)


def ints():
    return st.one_of(st.sampled_from(ODD_INTS), st.integers(-2**70, 2**70))


class Grammar:
    def __init__(self, target, samples):
        self.target = target
        self.nsamples = max(1, len(samples))
        self.stream_len = len(fs.SAMPLE_STREAM)
        self.exprs = self._exprs()
        self.values = st.deferred(lambda: self._values())

    # -- expressions ----------------------------------------------------------------------------
    def _bases(self):
        idx = st.integers(0, 7)
        bases = [B(lambda i: ["slot", i], idx), st.just(["mod", "codec"]),
                 B(lambda i: ["reader", i], idx), B(lambda i: ["msg", i], idx)]
        if self.target != "codec":
            bases += [st.just(["mod", "zq_gps"]), B(lambda i: ["g", i], idx),
                      st.just(["attr", ["mod", "zq_gps"], "zq_gps"]),
                      st.just(["attr", ["mod", "zq_gps"], "zq_error"])]
        if self.target == "hub":
            bases += [st.just(["mod", "zq_hub"]), B(lambda i: ["hub", i], st.integers(0, 1)),
                      B(lambda i: ["hub", i], st.integers(0, 1))]
        return st.one_of(*bases)

    def _names(self):
        names = fs.CODEC_NAMES + fs.READER_ATTRS + fs.MESSAGE_ATTRS + ["lat", "lon", "numSV",
                                                                     "cno_01", "gnssId_99"]
        if self.target != "codec":
            names += (fs.RECEIVER_METHODS + fs.RECEIVER_ATTRS + fs.MODULE_NAMES +
                      fs.COMPONENT_ATTRS)
        if self.target == "hub":
            names += fs.HUB_METHODS + fs.HUB_ATTRS + ["attach", "Hub"]
        return st.sampled_from(sorted(set(names)))

    def _exprs(self):
        names = self._names()
        return st.recursive(self._bases(),
                            lambda inner: B(lambda e, n: ["attr", e, n], inner, names),
                            max_leaves=3)

    # -- values ---------------------------------------------------------------------------------
    def _leaves(self):
        return st.one_of(
            B(lambda n: ["int", n], ints()),
            B(lambda x: ["float", x], st.sampled_from(FLOATS)),
            B(lambda s: ["str", s], texts()),
            B(lambda k, b: [k, b.hex()], st.sampled_from(["bytes", "bytearray",
                                                                  "memoryview"]),
                      st.binary(max_size=48)),
            B(lambda s, n: ["capture", s, n], st.integers(0, self.stream_len),
                      st.integers(0, 600)),
            B(lambda c: ["const", c], st.sampled_from(CONSTS)),
            B(lambda e: ["exc", e], st.sampled_from(EXC_NAMES)),
            B(lambda e: ["expr", e], self.exprs),
        )

    def behaviours(self, inner, max_size=4):
        one = st.one_of(
            B(lambda v: ["return", v], inner),
            B(lambda e: ["raise", e], st.sampled_from(EXC_NAMES)),
            B(lambda e, a: ["call", e, a], self.exprs, st.lists(inner, max_size=2)),
            B(lambda s, n: ["more", s, n], st.integers(0, self.stream_len),
                      st.integers(1, 5000)),
            st.just(["yield"]),
        )
        return st.lists(one, max_size=max_size)

    def _values(self):
        def extend(inner):
            return st.one_of(
                B(lambda xs: ["tuple", xs], st.lists(inner, max_size=3)),
                B(lambda xs: ["list", xs], st.lists(inner, max_size=3)),
                B(lambda kv: ["dict", kv],
                          st.lists(st.tuples(inner, inner).map(_as_list), max_size=3)),
                B(lambda b: ["fn", b], self.behaviours(inner)),
                B(lambda a, p, d: ["obj", a, p, d],
                          st.dictionaries(self._names(), inner, max_size=3),
                          st.dictionaries(st.sampled_from(["in_waiting", "timeout", "stopit",
                                                           "ubr", "identity"]),
                                          self.behaviours(inner), max_size=2),
                          st.dictionaries(st.sampled_from(DUNDERS), self.behaviours(inner),
                                          max_size=3)),
            )
        return st.recursive(self._leaves(), extend, max_leaves=10)

    # -- stand-ins --------------------------------------------------------------------------
    def read_results(self):
        """What a stream's read gives: receiver bytes mostly, anything at times."""
        capture = B(lambda s, n: ["return", ["capture", s, n]],
                            st.integers(0, self.stream_len), st.integers(0, 300))
        odd = st.sampled_from([["return", ["bytes", ""]], ["return", ["str", "\ub562"]],
                               ["return", ["int", 5]], ["return", ["const", "None"]],
                               ["raise", "OSError"], ["raise", "KeyboardInterrupt"],
                               ["raise", "SystemExit"], ["raise", "Exception"],
                               ["return", ["bytearray", "b562"]], ["yield"]])
        more = B(lambda s, n: ["more", s, n], st.integers(0, self.stream_len),
                         st.integers(1, 70000))
        back = B(lambda e: ["call", e, []], self.exprs)
        return st.lists(st.one_of(capture, capture, odd, more, back), min_size=1, max_size=6)

    def stream(self):
        return B(
            lambda reads, waiting, extra: ["obj", dict({"read": ["fn", reads]}, **extra),
                                           waiting, {}],
            self.read_results(),
            st.one_of(st.just({}), B(lambda b: {"in_waiting": b},
                                             self.behaviours(self.values, 3))),
            st.dictionaries(st.sampled_from(["write", "close", "timeout"]),
                            B(lambda b: ["fn", b], self.behaviours(self.values, 2)),
                            max_size=3))

    def env(self):
        serial = B(lambda port, more: ["obj", {"Serial": ["fn", [["return", port]] + more]},
                                               {}, {}],
                           self.stream(), self.behaviours(self.values, 2))
        fake_time = B(lambda t, s: ["obj", {"time": ["fn", t], "sleep": ["fn", s]}, {}, {}],
                              self.behaviours(self.values, 2),
                              st.lists(st.sampled_from([["return", ["const", "None"]], ["yield"]]),
                                       max_size=2))
        thread = B(lambda b: ["obj", {"Thread": ["fn", b]}, {}, {}],
                           self.behaviours(self.values, 2))
        reader = B(lambda b: ["fn", [["return", ["obj", {"read": ["fn", b]}, {}, {}]]]],
                           self.behaviours(self.values, 3))
        return st.fixed_dictionaries({"serial": serial}, optional={
            "time": fake_time, "threading": thread, "UBXReader": reader,
            "l": self.values, "zq_error": self.values, "print": self.values,
            "UBXMessage": self.values, "SET": self.values})

    # -- actions ----------------------------------------------------------------------------
    def kwargs(self):
        params = PARAM_NAMES + (fs.HUB_PARAMS if self.target == "hub" else [])
        names = st.one_of(st.sampled_from(params), texts())
        return st.one_of(st.lists(st.tuples(names, self.values).map(_as_list), max_size=3),
                         B(lambda n: ["many", n], st.integers(100, 400)))

    def callees(self):
        if self.target == "codec":
            fixed = [["attr", ["mod", "codec"], "UBXReader"], ["attr", ["mod", "codec"], "UBXMessage"],
                     ["attr", ["attr", ["mod", "codec"], "UBXReader"], "parse"]]
            methods = fs.READER_ATTRS + fs.MESSAGE_ATTRS
            bound = B(lambda b, m: ["attr", [b, 0], m], st.sampled_from(["reader", "msg"]),
                              st.sampled_from(methods))
        else:
            mod = ["mod", "zq_gps"]
            fixed = [["attr", mod, "zq_gps"], ["attr", mod, "zq_error"],
                     ["attr", ["attr", mod, "zq_error"], "__init__"],
                     ["attr", ["attr", mod, "zq_error"], "__str__"]]
            bound = B(lambda i, m: ["attr", ["g", i], m], st.integers(0, 2),
                              st.sampled_from(fs.RECEIVER_METHODS))
            unbound = B(lambda m: ["attr", ["attr", mod, "zq_gps"], m],
                                st.sampled_from(fs.RECEIVER_METHODS))
            bound = st.one_of(bound, bound, unbound)
            if self.target == "hub":
                fixed = fixed + [["attr", ["mod", "zq_hub"], "attach"]]
                on_hub = B(lambda i, m: ["attr", ["hub", i], m], st.integers(0, 1),
                           st.sampled_from(fs.HUB_METHODS))
                bound = st.one_of(bound, on_hub, on_hub, on_hub)
        return st.one_of(st.sampled_from(fixed), bound, bound, self.exprs)

    def codec_call(self):
        """UBXReader over a hostile stream, with its keywords."""
        kw = st.lists(st.tuples(st.sampled_from(["max_length", "chunk_size"]),
                                B(lambda n: ["int", n], ints())).map(_as_list), max_size=2)
        return B(lambda s, k: ["call", ["attr", ["mod", "codec"], "UBXReader"], [s], k],
                         self.stream(), kw)

    def actions(self):
        call = B(lambda f, a, k: ["call", f, a, k], self.callees(),
                         st.lists(self.values, max_size=4), self.kwargs())
        targets = st.one_of(self.exprs, self.exprs,
                            B(lambda i, n: ["attr", ["g", i], n], st.integers(0, 1),
                                      st.sampled_from(["ubr", "ser", "t1"])))
        names = self._names()
        wire_value = st.one_of(self.values, B(
            lambda i, m: ["expr", ["attr", ["g", i], m]], st.integers(0, 1),
            st.sampled_from(fs.RECEIVER_METHODS)))
        common = [
            call, call, call,
            B(lambda e, n: ["get", e, n], self.exprs, names),
            B(lambda e, n, v: ["set", e, n, v], targets, names, wire_value),
            B(lambda e, n: ["del", e, n], targets, names),
            B(lambda e, n: ["iter", e, n], self.exprs, st.integers(0, 50)),
            B(lambda ms: ["pause", ms], st.integers(0, 40)),
            st.just(["gc"]),
            B(lambda i: ["drop", i], st.integers(0, 7)),
        ]
        if self.target == "codec":
            common += [self.codec_call(), self.codec_call(),
                       B(lambda i: ["call", ["attr", ["reader", i], "read"], [], []],
                                 st.integers(0, 3))]
        else:
            common += [
                B(lambda n, v: ["global", n, v], st.sampled_from(fs.MODULE_NAMES),
                          st.one_of(st.none(), self.values)),
                B(lambda i, ms: ["threads", ["g", i], ms], st.integers(0, 1),
                          st.lists(st.sampled_from(["stop", "restart", "setPowerMode", "run",
                                                    "getgps", "restart"]),
                                   min_size=2, max_size=5)),
                B(lambda n, link: ["chain", n, link],
                          st.sampled_from([2, 1000, 300000]),
                          st.sampled_from(["__cause__", "__context__"])),
            ]
        if self.target == "hub":
            # the hub's methods from several threads at once, with the receiver's among them
            hub_calls = ["wait", "wait_state", "messages", "states", "frames", "close",
                         "__enter__"]
            timeouts = st.sampled_from([["float", "0.0"], ["float", "0.025"], ["int", 0],
                                        ["const", "None"], ["float", "nan"], ["int", -1]])
            idents = st.sampled_from([["const", "None"], ["str", "NAV-PVT"],
                                      ["list", [["str", "NAV-SAT"], ["str", "NAV-DOP"]]],
                                      ["tuple", []], ["str", "UNKNOWN-0x01-0x99"]])
            flags = st.sampled_from([["const", "True"], ["const", "False"]])
            sizes = st.sampled_from([["int", 1], ["int", 2], ["int", 256]])
            waits = st.sampled_from(["wait", "wait_state", "messages", "states", "frames",
                                     "wait_async", "messages_async"])
            common += [
                # well-formed calls, so that the waits and callbacks are reached, not only
                # the argument checks
                B(lambda i, m, t: ["call", ["attr", ["hub", i], m], [], [["timeout", t]]],
                  st.integers(0, 1), waits, timeouts),
                B(lambda i, d, f, c: ["call", ["attr", ["hub", i], "messages"], [d],
                                      [["states", f], ["capacity", c],
                                       ["timeout", ["float", "0.05"]]]],
                  st.integers(0, 1), idents, flags, sizes),
                B(lambda i, b, d, f, c: ["call", ["attr", ["hub", i], "subscribe"],
                                         [["fn", b], d], [["states", f], ["capacity", c]]],
                  st.integers(0, 1), self.behaviours(self.values), idents, flags, sizes),
                B(lambda e, n: ["iter", e, n], B(lambda i: ["slot", i], st.integers(0, 7)),
                  st.integers(0, 5)),
                B(lambda i, ms: ["threads", ["hub", i], ms], st.integers(0, 1),
                  st.lists(st.sampled_from(hub_calls), min_size=2, max_size=5)),
                B(lambda i, ms: ["threads", ["g", i], ms], st.integers(0, 1),
                  st.lists(st.sampled_from(["stop", "restart", "run", "loop_gps"]),
                           min_size=1, max_size=3)),
            ]
        return st.one_of(*common)


LOGGER_GOOD = "class zq_logger:\n    def createlogger(self, n, p): return _L()\n"
LOGGER_SOURCES = [
    LOGGER_GOOD, LOGGER_GOOD, "", "zq_logger = None\n", "zq_logger = _H()\n",
    "def __getattr__(n): raise KeyboardInterrupt\n",
    "def __getattr__(n): raise SystemExit(3)\n",
    "class zq_logger:\n    def createlogger(self, n, p): return None\n",
    "class zq_logger:\n    def createlogger(self, n, p): raise RuntimeError('x')\n",
    "class zq_logger:\n    def createlogger(self, n, p): raise KeyboardInterrupt\n",
    "class zq_logger:\n    def createlogger(self, n, p): return _H()\n",
    "class zq_logger:\n    createlogger = None\n",
    "class zq_logger:\n    def __init__(self): raise MemoryError\n",
    "import sys\nclass zq_logger:\n    def createlogger(self, n, p):\n"
    "        m = sys.modules['zq_gps']\n"
    "        for k in list(vars(m)):\n"
    "            if not k.startswith('__'): delattr(m, k)\n"
    "        return _L()\n",
    "import sys\nclass zq_logger:\n    def createlogger(self, n, p):\n"
    "        sys.modules['zq_gps'].version = _H()\n        return _L()\n",
    "import sys\nclass zq_logger:\n    def createlogger(self, n, p):\n"
    "        sys.modules['zq_gps'].l = None\n        return _L()\n",
    "import zq_gps\n" + LOGGER_GOOD,
    "class _R(_L):\n    def info(self, a):\n        import zq_gps\n        zq_gps.zq_error('x', 2)\n"
    "class zq_logger:\n    def createlogger(self, n, p): return _R()\n",
    "raise ImportError('broken')\n",
    "raise KeyboardInterrupt\n",
    "import sys\nclass zq_logger:\n    def createlogger(self, n, p):\n"
    "        sys.modules.pop('zq_gps', None)\n        return _L()\n",
    "import sys, importlib\nclass zq_logger:\n    def createlogger(self, n, p):\n"
    "        sys.modules.pop('zq_gps', None)\n        importlib.import_module('zq_gps')\n"
    "        return _L()\n",
    "class zq_logger:\n    def createlogger(self, n, p):\n        return type('X', (), {'info': _H()})()\n",
]
CODEC_GOOD = ("GET, SET, POLL = 0, 1, 2\nclass UBXReader:\n    def __init__(self, s): self.s = s\n"
              "    def read(self): return (None, None)\nclass UBXMessage:\n"
              "    def __init__(self, *a, **k): pass\n    def serialize(self): return b''\n")
CODEC_SOURCES = [
    CODEC_GOOD, CODEC_GOOD, None, "", "SET = 1\n", "UBXReader = UBXMessage = SET = _H()\n",
    "def __getattr__(n): raise KeyboardInterrupt\n", "raise SystemExit(2)\n",
    "import zq_gps\n" + CODEC_GOOD, "UBXReader = UBXMessage = SET = None\n",
    "import sys\nsys.modules.pop('zq_gps', None)\n" + CODEC_GOOD,
]
INIT_SOURCES = ["", "", None, "raise ImportError('x')\n", "import zq_gps\n",
                "def __getattr__(n): raise KeyboardInterrupt\n"]
ROOT_PATHS = [None, None, "", ".", "rel/dir", "/nonexistent/deep/x", "a\x00b", "\udcff",
              "/proc/self", "/dev/null", "/" + "d" * 300, "~", "/tmp/../tmp", "logs"]


def import_program(g):
    patch_values = g.values
    patches = st.one_of(
        B(lambda v: ["os", "environ", v], patch_values),
        B(lambda r: ["os", "environ", ["dict", [[["str", "ROOT_PATH"], r]]]],
                  g.values),
        B(lambda b: ["os.path", "join", ["fn", b]], g.behaviours(g.values, 2)),
        B(lambda b: ["os", "makedirs", ["fn", b]], g.behaviours(g.values, 2)),
        B(lambda v: ["sys", "path", v], st.one_of(
            patch_values, st.just(["list", []]))),
        B(lambda n, b: ["datetime.date", n, ["fn", b]],
                  st.sampled_from(["strftime", "today"]), g.behaviours(g.values, 2)),
        B(lambda v: ["datetime", "date", v], patch_values),
        B(lambda b: ["builtins", "print", ["fn", b]], g.behaviours(g.values, 2)),
    )
    files = st.fixed_dictionaries({
        "libs/__init__.py": st.sampled_from(INIT_SOURCES),
        "libs/zq_logger.py": st.sampled_from(LOGGER_SOURCES),
        "libs/pyubx2.py": st.sampled_from(CODEC_SOURCES),
    })
    after = st.lists(st.one_of(
        B(lambda a, k: ["call", ["attr", ["mod", "zq_gps"], "zq_error"], a, k],
                  st.lists(g.values, max_size=3), g.kwargs()),
        B(lambda a, k: ["call", ["attr", ["mod", "zq_gps"], "zq_gps"], a, k],
                  st.lists(g.values, max_size=3), g.kwargs()),
        g.actions()), max_size=4)
    return B(lambda f, r, p, a: {"target": "import", "files": f, "root_path": r,
                                         "patches": p, "actions": a},
                     files, st.one_of(st.sampled_from(ROOT_PATHS), texts()),
                     st.lists(patches, max_size=3), after)


def program(target, samples):
    g = Grammar(target, samples)
    if target == "import":
        return import_program(g)
    first = st.one_of(st.just([]), st.just([["call", ["attr", ["mod", "zq_gps"], "zq_gps"],
                                              [], []]]))
    if target == "codec":
        first = B(lambda c: [c], g.codec_call())
        env = st.just({})
    else:
        env = g.env()
    return B(lambda e, f, a: {"target": target, "env": e, "actions": f + a},
                     env, first, st.lists(g.actions(), min_size=1, max_size=10))
