"""Construction and start: argument binding, initial values, call order, start-up failure."""
import inspect

import pytest

FIELDS = ["fullyResolved", "validMag", "tAcc", "fixType", "gnssFixOk", "difSoln", "psmState",
          "headVehValid", "carrSoln", "confirmedAvai", "confirmedDate", "confirmedTime", "numSV",
          "height", "hMSL", "hAcc", "vAcc", "velN", "velE", "velD", "sAcc", "pDOP", "reserved1",
          "headVeh", "magDec", "magAcc"]
ATTRIBUTES = ["lat", "lon", "acc", "gpsmode", "parseddata", "numofsat", "gSpeed", "headAcc",
              "headMot", "last_Time", "parsed_data", "index", "stopit", "flag", "port"] + FIELDS
METHODS = ["__init__", "run", "loop_gps", "stop", "getparseddata", "setPowerMode", "getgps",
           "getlat", "getlon", "getversion", "restart"]


def test_initial_values_in_assignment_order(env):
    before = env.time.now
    g = env.make()
    attrs = vars(g)
    assert list(attrs)[:41] == ATTRIBUTES
    assert list(attrs)[41:] == ["ser", "ubr", "t1"]
    assert (g.lat, g.lon, g.acc) == (0, 0, 99.99)
    assert type(g.lat) is int and type(g.acc) is float
    assert g.gpsmode == "NAV-PVT" and g.port == "/dev/ttyACM0"
    for name in ["parseddata", "numofsat", "gSpeed", "headAcc", "headMot", "index"] + FIELDS:
        assert getattr(g, name) == -1, name
    assert g.parsed_data is None
    assert g.stopit == 0 and type(g.stopit) is int
    assert g.flag is False
    assert g.last_Time == before


def test_start_opens_port_builds_reader_and_starts_thread(env, capsys):
    g = env.make("NAV-PVT", "/dev/gps7")
    assert env.events[0] == ("open", {"port": "/dev/gps7", "baudrate": 9600, "timeout": 2})
    assert env.events[1] == ("reader", g.ser)
    assert g.ubr is env.readers[0]
    (thread,) = env.threading.threads
    assert g.t1 is thread and thread.started
    assert thread.kwargs == {"target": g.loop_gps}
    assert env.log.records == [("info", "GPS init"), ("info", "Starting ZQ-GPS Thread")]
    assert capsys.readouterr().out == "Done starting gps thread\n"


@pytest.mark.parametrize("args,kwargs,mode,port", [
    ((), {"port": "/dev/x"}, "NAV-PVT", "/dev/x"),
    (("NAV-PVT", "/dev/y"), {}, "NAV-PVT", "/dev/y"),
    (("NAV-SOL",), {}, "NAV-SOL", "/dev/ttyACM0"),
    ((), {"gpsmode": 7, "port": "/dev/z"}, 7, "/dev/z"),
])
def test_arguments_by_position_or_keyword(env, args, kwargs, mode, port):
    g = env.make(*args, **kwargs)
    assert g.gpsmode == mode and g.port == port


def test_gpsmode_and_port_are_the_objects_passed(env):
    mode, port = object(), ["not", "a", "path"]
    g = env.make(mode, port)
    assert g.gpsmode is mode and g.port is port


@pytest.mark.parametrize("args,kwargs", [
    (("a", "b", "c"), {}),
    ((), {"baud": 9600}),
    (("NAV-PVT",), {"gpsmode": "NAV-PVT"}),
])
def test_bad_arguments_leave_no_trace(env, args, kwargs):
    with pytest.raises(TypeError):
        env.make(*args, **kwargs)
    assert env.log.records == [] and env.events == []


def test_missing_device_reports_code_1_and_exits_1(env, capsys):
    env.serial.fail = OSError("no such device")
    with pytest.raises(SystemExit) as exit_info:
        env.make(port="/dev/none")
    assert exit_info.value.code == 1
    assert env.log.records == [
        ("info", "GPS init"),
        ("error", "GPS Error: no such device, 'Error-Code: 0001, Error-Message: "
                  "No GPS-mouse is present in system.'"),
    ]
    assert capsys.readouterr().out == (
        "Error-Code: 0001, Error-Message: No GPS-mouse is present in system.\n")
    assert env.threading.threads == []


def test_reader_construction_failure_keeps_open_port(env, zq, monkeypatch):
    def broken_reader(ser):
        raise ValueError("bad stream")
    monkeypatch.setattr(zq, "UBXReader", broken_reader)
    holder = {}
    original_init = zq.zq_gps.__init__
    with pytest.raises(SystemExit):
        obj = zq.zq_gps.__new__(zq.zq_gps)
        holder["g"] = obj
        original_init(obj, port="/dev/p")
    g = holder["g"]
    assert g.flag is False and not g.ser.closed
    assert not hasattr(g, "ubr") and not hasattr(g, "t1")


def test_interrupt_while_opening_passes_through_unchanged(env):
    env.serial.fail = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        env.make()
    assert env.log.texts("error") == []


def test_run_reads_port_afresh(env):
    g = env.make()
    g.t1.is_alive = lambda: False
    g.port = "/dev/other"
    assert g.run() is None
    assert env.events[-2] == ("open", {"port": "/dev/other", "baudrate": 9600, "timeout": 2})


def test_run_while_reader_alive_starts_nothing(env, capsys):
    g = env.make()
    g.t1.is_alive = lambda: True
    before = list(env.events)
    capsys.readouterr()
    assert g.run() is None
    assert env.events == before and len(env.threading.threads) == 1
    assert capsys.readouterr().out == ""


def test_class_shape_and_introspection(zq):
    cls = zq.zq_gps
    assert cls.__bases__ == (object,)
    assert [n for n in vars(cls) if not n.startswith("__") or n == "__init__"] == METHODS
    assert str(inspect.signature(cls)) == "(gpsmode='NAV-PVT', port='/dev/ttyACM0')"
    assert cls.__init__.__defaults__ == ("NAV-PVT", "/dev/ttyACM0")
    for name in METHODS:
        method = vars(cls)[name]
        assert method.__qualname__ == "zq_gps." + name
        assert method.__module__ == "zq_gps"
    assert (cls.__module__, cls.__qualname__) == ("zq_gps", "zq_gps")


@pytest.mark.parametrize("name", METHODS[1:])
def test_methods_take_no_arguments(env, name):
    g = env.make()
    before = (dict(vars(g)), list(env.events), list(env.log.records))
    with pytest.raises(TypeError):
        getattr(g, name)(1)
    with pytest.raises(TypeError):
        getattr(g, name)(x=1)
    assert before == (dict(vars(g)), list(env.events), list(env.log.records))
