"""The logging service libs/zq_logger.py, loaded from the source tree."""
import calendar
import importlib.util
import logging
import os
import re
import threading
import time

import pytest

SOURCE = os.path.join(os.path.dirname(__file__), "..", "..", "libs", "zq_logger.py")
_spec = importlib.util.spec_from_file_location("zq_logger_under_test", SOURCE)
zq = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(zq)

LINE = re.compile(r"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}\+0000 (DEBUG|INFO|ERROR) \[([^\]\n]*)\] (.*)")


class Collect(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.messages = []

    def emit(self, record):
        self.messages.append(record.getMessage())


@pytest.fixture
def create(request):
    """createlogger under names unique to the test; detaches and closes everything afterwards."""
    names = set()

    def make(suffix, path, **kw):
        name = "%s.%s" % (request.node.name, suffix)
        names.add(name)
        return zq.zq_logger().createlogger(name, str(path), **kw)

    yield make
    for name in names:
        lg = logging.getLogger(name)
        for h in list(lg.handlers):
            lg.removeHandler(h)
            h.close()
            zq._handlers.pop(getattr(h, "baseFilename", None), None)


@pytest.fixture
def local_zone_off_utc(monkeypatch):
    monkeypatch.setenv("TZ", "IST-5:30")  # POSIX form: needs no zoneinfo files
    time.tzset()
    yield
    monkeypatch.undo()
    time.tzset()


def lines(path):
    with open(path, "rb") as f:
        data = f.read()
    assert data.endswith(b"\n")
    return data.decode("utf-8").split("\n")[:-1]


def test_records_from_many_threads_land_whole(create, tmp_path):
    log = create("gps", tmp_path / "gps.log")
    threads_n, per_thread = 10, 500
    start = threading.Barrier(threads_n)

    def work(t):
        start.wait()
        for i in range(per_thread):
            (log.info, log.error, log.debug)[i % 3]("t%d n%d\nsecond\r\nthird" % (t, i))

    threads = [threading.Thread(target=work, args=(t,), name="reader-%d" % t) for t in range(threads_n)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()

    seen = {t: [] for t in range(threads_n)}
    for line in lines(tmp_path / "gps.log"):
        m = LINE.fullmatch(line)
        assert m, line
        t, i = map(int, re.fullmatch(r"t(\d+) n(\d+)\\nsecond\\r\\nthird", m.group(4)).groups())
        assert m.group(3) == "reader-%d" % t
        assert m.group(2) == ("INFO", "ERROR", "DEBUG")[i % 3]
        seen[t].append(i)
    assert all(seen[t] == list(range(per_thread)) for t in seen)


class TestRecord:
    def test_timestamp_is_utc_now(self, create, tmp_path, local_zone_off_utc):
        before = int(time.time())
        create("gps", tmp_path / "gps.log").info("x")
        stamp = LINE.fullmatch(lines(tmp_path / "gps.log")[0]).group(1)
        logged = calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%S"))
        assert before <= logged <= time.time()

    def test_message_object_is_written_through_str(self, create, tmp_path):
        class Message:
            def __str__(self):
                return "<UBX(NAV-PVT, lat=48.1°, lon=11.5°)>"

        create("gps", tmp_path / "gps.log").debug(Message())
        m = LINE.fullmatch(lines(tmp_path / "gps.log")[0])
        assert m.group(2, 3, 4) == ("DEBUG", "MainThread", "<UBX(NAV-PVT, lat=48.1°, lon=11.5°)>")

    def test_unusual_line_breaks_and_unencodable_text_stay_in_one_line(self, create, tmp_path):
        create("gps", tmp_path / "gps.log").error("a\u2028b\x85c\ud800d")
        (line,) = lines(tmp_path / "gps.log")
        assert line.endswith("] a\\u2028b\\x85c\\ud800d")

    def test_traceback_is_folded_into_the_record(self, create, tmp_path):
        try:
            raise ValueError("bad checksum")
        except ValueError:
            create("gps", tmp_path / "gps.log").exception("decode failed")
        (line,) = lines(tmp_path / "gps.log")
        assert "decode failed\\nTraceback" in line and line.endswith("ValueError: bad checksum")


class TestHandlers:
    def test_same_file_again_adds_no_handler(self, create, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        create("gps", "./gps.log")
        log = create("gps", tmp_path / "gps.log")
        log.info("once")
        assert len(log.handlers) == 1
        assert len(lines(tmp_path / "gps.log")) == 1

    def test_other_file_replaces_only_own_handler(self, create, tmp_path):
        log = create("gps", tmp_path / "a.log")
        host = Collect()
        log.addHandler(host)
        old = log.handlers[0]
        create("gps", tmp_path / "b.log").info("moved")
        assert host in log.handlers and len(log.handlers) == 2
        assert old.stream is None  # closed, no descriptor left open
        assert not os.path.getsize(tmp_path / "a.log")
        assert lines(tmp_path / "b.log")[0].endswith("] moved")
        assert host.messages == ["moved"]

    def test_loggers_sharing_a_file_share_one_handler(self, create, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        a = create("a", "shared.log")
        b = create("b", tmp_path / "shared.log")
        assert a.handlers == b.handlers
        create("a", tmp_path / "own.log")
        assert b.handlers[0].stream is not None, "still in use by b: must stay open"
        assert create("c", tmp_path / "shared.log").handlers == b.handlers
        b.info("still here")
        assert lines(tmp_path / "shared.log")[0].endswith("] still here")

    def test_host_handler_receives_records_root_does_not(self, create, tmp_path):
        log = create("gps", tmp_path / "gps.log")
        host, root = Collect(), Collect()
        log.addHandler(host)
        logging.getLogger().addHandler(root)
        try:
            log.debug("fix")
        finally:
            logging.getLogger().removeHandler(root)
        assert host.messages == ["fix"] and root.messages == []
        log.propagate = True
        create("gps", tmp_path / "gps.log")
        assert log.propagate, "a second call must not undo the host's choice"


def test_rotation_bounds_disk_use(create, tmp_path):
    log = create("gps", tmp_path / "gps.log", max_bytes=2000, backup_count=2)
    for i in range(400):
        log.debug("record %04d °°°°°°°°°°" % i)
    files = sorted(os.listdir(tmp_path))
    assert files == ["gps.log", "gps.log.1", "gps.log.2"]
    record_bytes = len(lines(tmp_path / "gps.log")[0].encode()) + 1
    for f in files:
        assert os.path.getsize(tmp_path / f) <= 2000 + record_bytes
        assert all(LINE.fullmatch(line) for line in lines(tmp_path / f))
    assert lines(tmp_path / "gps.log")[-1].endswith("record 0399 °°°°°°°°°°")
