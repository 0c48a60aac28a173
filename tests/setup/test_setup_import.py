"""Import of the module, tested hermetically in a subprocess with stand-in libs packages (a
recording logging service and a fake codec) so the module set-up is checked independently of
them."""
import datetime
import glob
import json
import os
import subprocess
import textwrap

import pytest

from zq_paths import ROOT

PYTHON = "/usr/bin/python3"

STUB_LOGGER = """
RECORDS = []
class _Logger:
    def info(self, a): RECORDS.append(["info", a])
    def debug(self, a): RECORDS.append(["debug", str(a)])
    def error(self, a): RECORDS.append(["error", a])
class zq_logger:
    def createlogger(self, name, path):
        RECORDS.append(["create", name, path])
        return _Logger()
"""
STUB_CODEC = """
GET, SET, POLL = 0, 1, 2
class UBXReader:
    def __init__(self, stream): self.stream = stream
class UBXMessage:
    pass
"""
REPORT = """
import json, sys
out = {}
try:
    import zq_gps
    out.update(day=zq_gps.day, logdir=zq_gps.logdir, logfile=zq_gps.logfile,
               version=zq_gps.version, dunder_version=getattr(zq_gps, "__version__", None),
               names=[n for n in vars(zq_gps) if not n.startswith("__")],
               doc=zq_gps.__doc__)
except BaseException as e:
    out["error"] = type(e).__name__
out["path_tail"] = sys.path[-1]
out["records"] = getattr(sys.modules.get("libs.zq_logger"), "RECORDS", None)
print("REPORT " + json.dumps(out))
"""


@pytest.fixture
def sandbox(tmp_path):
    """A working directory holding stand-in libs, and a directory holding only the extension."""
    (ext,) = glob.glob(os.path.join(ROOT, "zq_gps*.so"))
    ext_dir = tmp_path / "ext"
    ext_dir.mkdir()
    (ext_dir / os.path.basename(ext)).symlink_to(ext)
    work = tmp_path / "work"
    libs = work / "libs"
    libs.mkdir(parents=True)
    (libs / "__init__.py").write_text("")
    (libs / "zq_logger.py").write_text(STUB_LOGGER)
    (libs / "pyubx2.py").write_text(STUB_CODEC)

    def run(prelude="", root_path=None, script=REPORT):
        env = {k: v for k, v in os.environ.items() if k != "ROOT_PATH"}
        env["PYTHONPATH"] = str(ext_dir)
        if root_path is not None:
            env["ROOT_PATH"] = root_path
        code = textwrap.dedent(prelude) + script
        proc = subprocess.run([PYTHON, "-c", code], cwd=work, env=env, capture_output=True,
                              text=True, timeout=60)
        report = None
        for line in proc.stdout.splitlines():
            if line.startswith("REPORT "):
                report = json.loads(line[len("REPORT "):])
        return proc, report

    run.work = work
    return run


def today():
    return datetime.date.today().strftime("%d_%m_%Y")


def test_without_root_path(sandbox):
    _, r = sandbox()
    assert r["path_tail"] == "libs"
    assert (r["day"], r["logdir"]) == (today(), "./logs")
    assert r["logfile"] == "./logs/gps_%s.log" % today()
    assert (sandbox.work / "logs").is_dir()
    assert r["version"] == r["dunder_version"] == "1.4.0" and r["doc"] is None
    assert r["names"] == ["sys", "os", "time", "threading", "datetime", "log", "day", "logdir",
                          "logfile", "version", "l", "serial", "UBXReader", "UBXMessage", "SET",
                          "zq_error", "zq_gps"]
    assert r["records"] == [["create", "gps", r["logfile"]],
                            ["info", "ZQ GPS - Version: 1.4.0"]]


@pytest.mark.parametrize("slash", ["", "/"])
def test_with_root_path(sandbox, tmp_path, slash):
    app = tmp_path / "opt" / "app"
    _, r = sandbox(root_path=str(app) + slash)
    assert r["path_tail"] == "%s/libs" % app
    assert r["logdir"] == "%s/logs" % app
    assert r["logfile"] == "%s/logs/gps_%s.log" % (app, today())
    assert (app / "logs").is_dir()


def test_empty_root_path_counts_as_present(sandbox):
    _, r = sandbox(root_path="")
    assert (r["path_tail"], r["logdir"]) == ("libs", "logs")
    assert r["logfile"] == "logs/gps_%s.log" % today()


def test_day_has_two_digit_day_and_month(sandbox):
    prelude = """
        import datetime
        class Day(datetime.date):
            @classmethod
            def today(cls):
                return cls(2026, 1, 1)
        datetime.date = Day
    """
    _, r = sandbox(prelude)
    assert r["day"] == "01_01_2026" and r["logfile"].endswith("gps_01_01_2026.log")


def test_existing_log_directory(sandbox):
    (sandbox.work / "logs").mkdir()
    _, r = sandbox()
    assert "error" not in r


def test_file_in_place_of_log_directory(sandbox):
    (sandbox.work / "logs").write_text("not a directory")
    _, r = sandbox()
    assert r["error"] == "FileExistsError"
    assert r["records"] == []  # no logger, no banner


def test_missing_codec_fails_after_banner(sandbox):
    (sandbox.work / "libs" / "pyubx2.py").unlink()
    _, r = sandbox()
    assert r["error"] == "ModuleNotFoundError"
    assert r["records"][-1] == ["info", "ZQ GPS - Version: 1.4.0"]


def test_codec_without_set_is_an_import_error(sandbox):
    (sandbox.work / "libs" / "pyubx2.py").write_text("UBXReader = UBXMessage = object\n")
    _, r = sandbox()
    assert r["error"] == "ImportError"


def test_failing_logger_propagates(sandbox):
    (sandbox.work / "libs" / "zq_logger.py").write_text(
        "class zq_logger:\n    def createlogger(self, n, p):\n        raise RuntimeError('x')\n")
    _, r = sandbox()
    assert r["error"] == "RuntimeError"


def test_failed_import_can_be_retried(sandbox):
    script = """
import sys, os
os.rename("libs/pyubx2.py", "libs/pyubx2.hidden")
try:
    import zq_gps
except ModuleNotFoundError:
    pass
os.rename("libs/pyubx2.hidden", "libs/pyubx2.py")
import importlib; importlib.invalidate_caches()
import zq_gps
print("REPORT", __import__("json").dumps({"count": sys.path.count("libs"),
                                          "has_class": hasattr(zq_gps, "zq_gps")}))
"""
    _, r = sandbox(script=script)
    assert r == {"count": 2, "has_class": True}


@pytest.mark.parametrize("code", ["1", "1.0", "True"])
def test_code_1_ends_the_process_with_status_1(sandbox, code):
    script = REPORT + "zq_gps.zq_error(OSError('no device'), %s)\nprint('not reached')\n" % code
    proc, _ = sandbox(script=script)
    assert proc.returncode == 1
    lines = proc.stdout.splitlines()
    assert lines[-1] == "Error-Code: 0001, Error-Message: No GPS-mouse is present in system."
    assert "not reached" not in proc.stdout


def test_missing_device_ends_process_with_status_1(sandbox):
    script = REPORT + (
        "import zq_gps\n"
        "zq_gps.zq_gps(port='/dev/zq-no-such-device')\n"
        "print('not reached')\n")
    (sandbox.work / "libs" / "pyubx2.py").write_text(STUB_CODEC)
    proc, _ = sandbox(script=script)
    assert proc.returncode == 1
    assert proc.stdout.splitlines()[-1] == (
        "Error-Code: 0001, Error-Message: No GPS-mouse is present in system.")
