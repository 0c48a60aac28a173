"""The error type: texts, codes, exit request, argument binding, host facilities obeyed."""
import types

import pytest

from zq_fakes import RecordingLogger

CODE2_TEXT = "Error-Code: 0002, Error-Message: Failure in GPS-read()."


@pytest.fixture
def log(zq, monkeypatch):
    logger = RecordingLogger()
    monkeypatch.setattr(zq, "l", logger)
    return logger


def test_code_2_logs_then_prints(zq, log, capsys):
    err = zq.zq_error(ValueError("read failed"), 2)
    assert (err.code, err.message) == ("0002", "Failure in GPS-read().")
    assert log.records == [("error", "GPS Error: read failed, '%s'" % CODE2_TEXT)]
    assert capsys.readouterr().out == CODE2_TEXT + "\n"
    assert str(err) == "'%s'" % CODE2_TEXT
    assert isinstance(err, Exception) and zq.zq_error.__bases__ == (Exception,)


def test_keywords_and_any_object_as_e(zq, log):
    err = zq.zq_error(error_code=2, e=42)
    assert log.records == [("error", "GPS Error: 42, '%s'" % CODE2_TEXT)]
    assert vars(err) == {"message": "Failure in GPS-read().", "code": "0002"}


@pytest.mark.parametrize("code", [1, 1.0, True])
def test_code_1_requests_exit_with_status_1(zq, log, capsys, code):
    with pytest.raises(SystemExit) as info:
        zq.zq_error("no device", code)
    assert info.value.code == 1
    assert log.records == [("error", "GPS Error: no device, 'Error-Code: 0001, "
                                     "Error-Message: No GPS-mouse is present in system.'")]
    assert capsys.readouterr().out == (
        "Error-Code: 0001, Error-Message: No GPS-mouse is present in system.\n")


def test_exit_goes_through_the_module_sys(zq, log, monkeypatch):
    exits = []
    monkeypatch.setattr(zq, "sys", types.SimpleNamespace(exit=exits.append))
    err = zq.zq_error("x", 1)
    assert exits == [1] and err.code == "0001"


def test_print_goes_through_the_host(zq, log, monkeypatch):
    lines = []
    monkeypatch.setattr(zq, "print", lines.append, raising=False)
    zq.zq_error("x", 2)
    assert lines == [CODE2_TEXT]


@pytest.mark.parametrize("code,text", [(7, "0007"), (1234, "1234"), (-3, "-003"),
                                       ("E9", "E9"), (2.5, "2.5"), (None, "None")])
def test_other_codes_are_reported_not_fatal(zq, log, capsys, code, text):
    err = zq.zq_error("x", code)
    assert (err.code, err.message) == (text, "Unknown GPS error.")
    line = "Error-Code: %s, Error-Message: Unknown GPS error." % text
    assert capsys.readouterr().out == line + "\n"
    assert log.records == [("error", "GPS Error: x, '%s'" % line)]


@pytest.mark.parametrize("args", [(), ("x",), ("x", 2, 3)])
def test_wrong_argument_count(zq, log, capsys, args):
    with pytest.raises(TypeError):
        zq.zq_error(*args)
    assert log.records == [] and capsys.readouterr().out == ""


def test_failing_logger_skips_print_and_exit(zq, monkeypatch, capsys):
    def boom(text):
        raise RuntimeError("disk full")
    monkeypatch.setattr(zq, "l", types.SimpleNamespace(error=boom))
    with pytest.raises(RuntimeError):
        zq.zq_error("x", 1)
    assert capsys.readouterr().out == ""


def test_introspection(zq):
    for name in ("__init__", "__str__"):
        method = vars(zq.zq_error)[name]
        assert method.__qualname__ == "zq_error." + name
        assert method.__module__ == "zq_gps"
    assert (zq.zq_error.__module__, zq.zq_error.__qualname__) == ("zq_gps", "zq_error")
