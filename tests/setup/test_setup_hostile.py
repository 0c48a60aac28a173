"""A host that passes the module anything gets a Python exception back and its process goes on.

Every case runs in a host subprocess (a crash there is a signal, not a failed assertion in this
process): the host script reports what it caught on a REPORT line and ends normally."""
import glob
import json
import os
import subprocess
import textwrap

import pytest

from zq_paths import REPO, ROOT

PYTHON = "/usr/bin/python3"
TESTS = os.path.join(REPO, "tests")

# Reports the exception of BODY (the script's last lines, run at top level) as REPORT JSON.
CATCH = """
import json
def report(**kw):
    print("REPORT " + json.dumps(kw), flush=True)
try:
{body}
except BaseException as e:
    report(error=type(e).__name__, text=str(e))
else:
    report(error=None)
"""


def run_host(code, cwd, pythonpath, timeout=120):
    env = {k: v for k, v in os.environ.items() if k != "ROOT_PATH"}
    env["PYTHONPATH"] = os.pathsep.join(pythonpath)
    env["ROOT_PATH"] = str(cwd)
    proc = subprocess.run([PYTHON, "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=timeout)
    assert proc.returncode == 0, (proc.returncode, proc.stderr[-3000:])
    reports = [json.loads(line[len("REPORT "):]) for line in proc.stdout.splitlines()
               if line.startswith("REPORT ")]
    assert reports, proc.stdout[-2000:] + proc.stderr[-2000:]
    return reports


def script(prelude, body):
    return textwrap.dedent(prelude) + CATCH.format(body=textwrap.indent(textwrap.dedent(body),
                                                                       "    "))


@pytest.fixture
def host(tmp_path):
    """Runs a host script on the staged module with its real libs; logs go to tmp_path."""
    def run(prelude, body="pass"):
        return run_host(script(prelude, body), tmp_path, [ROOT, TESTS])
    return run


# -- import with broken libs stand-ins ---------------------------------------------------------

GOOD_LOGGER = """
class _L:
    def info(self, a): pass
    debug = error = info
class zq_logger:
    def createlogger(self, name, path): return _L()
"""
CODEC = "SET = 1\nclass UBXReader: pass\nclass UBXMessage: pass\n"


@pytest.fixture
def stand_in_libs(tmp_path):
    """A host directory whose libs package holds the given zq_logger source (and a fake codec);
    the extension is the only thing taken from the build."""
    (ext,) = glob.glob(os.path.join(ROOT, "zq_gps*.so"))
    ext_dir = tmp_path / "ext"
    ext_dir.mkdir()
    (ext_dir / os.path.basename(ext)).symlink_to(ext)
    libs = tmp_path / "libs"
    libs.mkdir()
    (libs / "__init__.py").write_text("")
    (libs / "pyubx2.py").write_text(CODEC)

    def run(logger_source, prelude=""):
        (libs / "zq_logger.py").write_text(textwrap.dedent(logger_source))
        (r,) = run_host(script(prelude, "import zq_gps"), tmp_path, [str(ext_dir)])
        return r
    return run


def test_logging_module_without_the_service_is_an_attribute_error(stand_in_libs):
    r = stand_in_libs("RECORDS = []\n")
    assert r["error"] == "AttributeError" and "zq_logger" in r["text"]


def test_logging_module_whose_lookups_interrupt(stand_in_libs):
    r = stand_in_libs("def __getattr__(name):\n    raise KeyboardInterrupt\n")
    assert r["error"] == "KeyboardInterrupt"


@pytest.mark.parametrize("value,kind", [("b'01_01_2026'", "bytes"), ("['01']", "list"),
                                        ("None", "NoneType")])
def test_day_that_is_not_text_is_a_type_error(stand_in_libs, value, kind):
    prelude = """
        import datetime
        class Day(datetime.date):
            def strftime(self, fmt): return %s
        datetime.date = Day
    """ % value
    r = stand_in_libs(GOOD_LOGGER, prelude)
    assert r == {"error": "TypeError",
                 "text": 'can only concatenate str (not "%s") to str' % kind}


def test_datetime_without_date(stand_in_libs):
    r = stand_in_libs(GOOD_LOGGER, "import datetime\ndel datetime.date\n")
    assert r["error"] == "AttributeError"


# The logging service runs while the module is set up and can reach it through sys.modules:
# a name it removes is missing for the steps after it, as in Python code. `logfile` is taken
# once the service exists, `version` after the logger is made.
@pytest.mark.parametrize("name,step", [("logfile", "__init__(self)"),
                                       ("version", "createlogger(self, n, path)")])
def test_module_names_removed_during_set_up(stand_in_libs, name, step):
    r = stand_in_libs(GOOD_LOGGER + """
import sys
class zq_logger:
    def %s:
        del sys.modules["zq_gps"].%s
        return None if "path" not in locals() else _L()
""" % (step, name))
    assert r == {"error": "NameError", "text": "name '%s' is not defined" % name}


# -- keyword names that cannot be encoded ------------------------------------------------------

def test_unencodable_keyword_names_on_every_entry_point(host):
    reports = host("""
        import zq_gps, zq_fakes
        zq_gps.l = zq_fakes.RecordingLogger()
        zq_gps.print = lambda *a: None
        g = zq_gps.zq_gps.__new__(zq_gps.zq_gps)
        err = zq_gps.zq_error.__new__(zq_gps.zq_error)
        calls = [("zq_gps", zq_gps.zq_gps), ("zq_error", zq_gps.zq_error),
                 ("zq_error.__str__", err.__str__)]
        calls += [(n, getattr(g, n)) for n, v in vars(zq_gps.zq_gps).items()
                  if type(v).__name__ == "method"]
    """, """
        for key in ("\\ud800", "\\udc80x", "a\\x00b"):
            for n, f in calls:
                try:
                    f(**{key: 1, "e": 1})
                except BaseException as e:
                    report(call=n, key=key, error=type(e).__name__, text=str(e))
    """)
    assert len(reports) == 3 * 14 + 1
    for r in reports[:-1]:
        assert r["error"] == "TypeError", r
        assert r["text"].endswith("got an unexpected keyword argument '%s'" % r["key"]), r


# -- methods wired back into the objects the driver calls ---------------------------------------

WIRED = textwrap.dedent("""
    import types, zq_gps, zq_fakes
    events = []
    zq_gps.l = zq_fakes.RecordingLogger()
    zq_gps.serial = zq_fakes.fake_serial(events)
    zq_gps.threading = zq_fakes.fake_threading()
    zq_gps.time = zq_fakes.FakeTime()
    zq_gps.UBXReader = lambda ser: types.SimpleNamespace(read=lambda: (None, None))
    zq_gps.print = lambda *a: None
    g = zq_gps.zq_gps()
""")


def test_port_close_wired_to_stop(host):
    (r,) = host(WIRED + "g.ser.close = g.stop\n", "g.stop()")
    assert r["error"] == "RecursionError"


def test_logger_wired_to_the_constructor(host):
    (r,) = host(WIRED + "zq_gps.l.info = g.__init__\n", "zq_gps.zq_gps()")
    assert r["error"] == "RecursionError"


def test_thread_liveness_wired_to_run(host):
    # Each level takes the deeper level's RecursionError as "not alive" and starts a reader.
    (r,) = host(WIRED + "g.t1.is_alive = g.run\n", "g.run()")
    assert r["error"] is None


def test_reader_wired_to_the_loop(host):
    # Every level counts the deeper level's RecursionError as a failed read; the first report
    # that gets through ends every level.
    r, _ = host(WIRED + textwrap.dedent("""
        seen = []
        def zq_error(e, code):
            seen.append(type(e).__name__)
            g.stopit = 1
        zq_gps.zq_error = zq_error
        g.ubr.read = g.loop_gps
    """), "g.loop_gps()\nreport(seen=seen[:1])")
    assert r == {"seen": ["RecursionError"]}


# -- long chains of errors ---------------------------------------------------------------------

@pytest.mark.parametrize("link", ["__cause__", "__context__"])
@pytest.mark.parametrize("subclass", [False, True])
def test_long_error_chain_is_freed(host, link, subclass):
    (r,) = host("""
        import zq_gps
        cls = zq_gps.zq_error
        if %r:
            class cls(zq_gps.zq_error):
                pass
        head = None
        for _ in range(300000):
            e = cls.__new__(cls)
            e.%s = head
            head = e
        del e
    """ % (subclass, link), "del head")
    assert r["error"] is None


# -- builtins that are not a dict ---------------------------------------------------------------

def test_builtins_of_any_mapping_are_obeyed(host):
    reports = host("""
        import builtins, collections, zq_gps, zq_fakes
        zq_gps.l = zq_fakes.RecordingLogger()
        lines = []
        mapping = collections.UserDict(vars(builtins))
        mapping["print"] = lines.append
    """, """
        code = "try:\\n    zq_gps.zq_error('x', 2)\\nexcept BaseException as e:\\n    error = e\\n"
        exec(code, {"__builtins__": mapping, "zq_gps": zq_gps})
        report(lines=lines)
        del mapping["print"]
        scope = {"__builtins__": mapping, "zq_gps": zq_gps}
        exec(code, scope)
        report(error=type(scope["error"]).__name__, text=str(scope["error"]))
    """)
    assert reports[0] == {"lines": ["Error-Code: 0002, Error-Message: Failure in GPS-read()."]}
    assert reports[1] == {"error": "NameError", "text": "name 'print' is not defined"}
