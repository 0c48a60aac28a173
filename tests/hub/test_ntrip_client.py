"""hub.ntrip() as a host sees it: a caster of our own on one side (every answer form, refusals,
stalls, garbage), the receiver's port on the other, read byte for byte."""
import re

import pytest

import ubx_helpers

from ntrip_rover import fix, rxm_rtcm, wait_for
from rtcm3_helpers import capture_frames, msg_type, split_frames

FRAMES = capture_frames()
STREAM = b"".join(FRAMES)
SECRET = "Pa55:w@rd"
QUOTED = "Pa55%3Aw%40rd"


def nmea_ok(line):
    body, star, cs = line[1:].partition("*")
    x = 0
    for c in body.encode():
        x ^= c
    return line.startswith("$") and star and int(cs, 16) == x


def no_secret(status):
    text = repr(status)
    return SECRET not in text and QUOTED not in text and "alice" not in text


@pytest.mark.parametrize("mode, version, answer, chunked", [
    ("v2", 2, "HTTP/1.1 200 OK", True),        # chunks cut across frames
    ("v2plain", 2, "HTTP/1.1 200 OK", False),
    ("v1", 2, "ICY 200 OK", False),            # as str2str answers a v2 request
    ("v1", 1, "ICY 200 OK", False),
])
def test_every_frame_reaches_the_port_whole_and_in_order(rover, caster, mode, version, answer,
                                                         chunked):
    c = caster(mode, user="alice", password=SECRET)
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(user="alice", password=QUOTED), version=version, gga_interval=0)
    got = r.wait_received(len(STREAM))
    assert got == STREAM
    s = r.wait_status(lambda s: s["frames_forwarded"] == len(FRAMES))
    assert s["answer"] == answer and s["chunked"] is chunked
    assert s["frames_received"] == len(FRAMES) and s["bytes_forwarded"] == len(STREAM)
    assert sum(s["frames_dropped"].values()) == 0 and s["garbage_bytes"] == 0
    counts = {}
    for f in FRAMES:
        counts[msg_type(f)] = counts.get(msg_type(f), 0) + 1
    assert s["types"] == counts
    assert s["last_frame_age"] is not None and s["last_write_age"] is not None
    assert no_secret(s)

    request = c.requests[0][0]
    first = request.split("\r\n")[0]
    assert first == ("GET /TEST HTTP/1.1" if version == 2 else "GET /TEST HTTP/1.0")
    assert ("Ntrip-Version: Ntrip/2.0" in request) == (version == 2)
    assert re.search(r"^User-Agent: NTRIP \S+", request, re.M)
    assert "Host: 127.0.0.1:%d" % c.port in request
    assert c.connections == 1


def test_a_caster_that_cannot_read_v2_gets_the_v1_request(rover, caster):
    c = caster("v1only")
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), gga_interval=0)
    assert r.wait_received(len(STREAM)) == STREAM
    s = r.wait_status(lambda s: s["state"] == "streaming")
    assert s["version"] == 1 and s["answer"] == "ICY 200 OK"
    assert [q.split("\r\n")[0] for q, _ in c.requests] == ["GET /TEST HTTP/1.1",
                                                           "GET /TEST HTTP/1.0"]
    assert any("v1 request" in text for _, text in s["events"])


@pytest.mark.parametrize("version", [1, 2])
def test_gga_goes_to_the_caster_at_connect_and_every_interval(rover, caster, version):
    c = caster("v1", repeat=0, period=0.2)
    r = rover()
    r.send(fix(lat=-349062263, lon=1386081197, flags=0x03))  # a DGPS fix
    wait_for(lambda: r.hub.latest is not None, 10, "the fix at the host")
    r.hub.ntrip(c.url(), version=version, gga_interval=0.2)
    c.wait(lambda: len(c.requests) == 1 and len(c.requests[0][1]) >= (3 if version == 1 else 2),
           what="GGA lines")
    request, lines = c.requests[0]
    ggas = [line for line in lines if line.startswith("$GPGGA")]
    assert len(ggas) >= 2 and all(nmea_ok(g) for g in ggas)
    f = ggas[0].split("*")[0].split(",")
    assert f[1] == "120000.00" and f[2:6] == ["3454.3735780", "S", "13836.4871820", "E"]
    assert f[6] == "2" and f[7] == "09" and f[9] == "400.000" and f[11] == "47.000"
    header = re.search(r"^Ntrip-GGA: (\S+)\r?$", request, re.M)
    if version == 2:
        assert header and header.group(1) == ggas[0]
    else:
        assert header is None  # the v1 form sends it after the header block
    # The count follows the send that the caster has already seen.
    s = r.wait_status(lambda s: s["gga_sent"] >= len(ggas))
    assert s["last_gga"].startswith("$GPGGA,120000.00,")


def test_no_gga_without_a_fix_then_at_once_when_one_comes(rover, caster):
    c = caster("v1", repeat=0, period=0.2)
    r = rover()
    r.wait_attached()
    r.send(fix(flags=0x00, fixType=0))  # no fix
    wait_for(lambda: r.hub.latest is not None, 10, "the no-fix message")
    r.hub.ntrip(c.url(), gga_interval=60)
    r.wait_status(lambda s: s["state"] == "streaming")
    assert r.status()["gga_sent"] == 0 and "Ntrip-GGA" not in c.requests[0][0]
    r.send(fix())
    c.wait(lambda: any(x.startswith("$GPGGA") for x in c.requests[0][1]), what="the first GGA")
    assert r.status()["gga_sent"] == 1


@pytest.mark.parametrize("how, state", [
    ("password", "unauthorized"),
    ("mount", "no mountpoint"),
])
def test_refusals_write_nothing_and_never_show_the_credentials(rover, caster, how, state):
    c = caster("v2", user="alice", password="right")
    r = rover()
    r.wait_attached()
    if how == "password":
        url = c.url(user="alice", password=QUOTED)
    else:
        url = c.url(mount="NOPE", user="alice", password=QUOTED)
    r.hub.ntrip(url, backoff_max=30)
    s = r.wait_status(lambda s: s["state"] == state)
    assert r.received() == b""
    assert s["frames_received"] == 0 and s["sessions"] == 0
    assert ("401" in s["last_error"]) == (how == "password")
    assert no_secret(s)
    assert ("alice" in c.requests[0][0]) is False  # the user goes base64-coded only


def test_garbage_and_html_around_frames_never_reach_the_receiver(rover, caster):
    c = caster("garbage")
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), gga_interval=0)
    assert r.wait_received(len(STREAM)) == STREAM
    s = r.wait_status(lambda s: s["frames_received"] == len(FRAMES))
    assert s["garbage_bytes"] > 0 and s["frames_dropped"]["crc"] > 0
    assert s["frames_forwarded"] == len(FRAMES)


def test_an_html_error_page_instead_of_data_is_dropped_and_the_client_reconnects(rover, caster):
    c = caster("html")
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), silence_timeout=0.5, backoff=0.1, backoff_max=0.2)
    c.wait(lambda: c.connections >= 3, what="reconnects after a stream without frames")
    s = r.status()
    assert r.received() == b""
    assert s["frames_received"] == 0 and s["garbage_bytes"] > 0
    assert "no corrections for 0.5 s" in [t for _, t in s["events"]][-1] or \
        "no corrections for 0.5 s" in s["last_error"]


def test_a_stalled_caster_is_left_and_reconnected_with_capped_backoff(rover, caster):
    c = caster("stall")
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), silence_timeout=0.3, backoff=0.05, backoff_max=0.2)
    c.wait(lambda: c.connections >= 4, what="reconnects after stalls")
    s = r.status()
    texts = [t for _, t in s["events"]]
    assert any("no corrections for" in t for t in texts)
    waits = [float(m.group(1)) for t in texts for m in [re.search(r"reconnecting in ([\d.]+) s", t)]
             if m]
    # An answer without frames is no success: the wait doubles up to the cap.
    assert waits[:3] == [0.05, 0.1, 0.2] and max(waits) == 0.2


def test_a_caster_closing_midstream_loses_no_whole_frame(rover, caster):
    c = caster("v2", close_after=50, epoch=7)
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), backoff=0.05, backoff_max=0.1, gga_interval=0)
    c.wait(lambda: c.connections >= 3, what="three connections")
    # Each connection sends its first 50 frames; the receiver gets them all, in order.
    s = r.wait_status(lambda s: s["frames_forwarded"] >= 150)
    assert s["sessions"] >= 3
    got, junk = split_frames(r.wait_received(3 * len(b"".join(FRAMES[:50]))))
    assert junk == 0
    assert got[:150] == FRAMES[:50] * 3


def test_status_tells_what_the_receiver_does_with_the_corrections(rover, caster):
    c = caster("v1", repeat=0, period=0.2)
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), gga_interval=0)
    r.wait_status(lambda s: s["frames_forwarded"] > 0)
    assert r.status()["receiver"] is None
    for verdict in [rxm_rtcm(1077), rxm_rtcm(1077), rxm_rtcm(1087, used=1),
                    rxm_rtcm(1005, crc_failed=True), rxm_rtcm(1230, used=0)]:
        r.send(verdict)
    r.send(fix(flags=0x01 | 0x02 | 0x40))
    s = r.wait_status(lambda s: s["receiver"] and s["rxm_rtcm"].get(1230))
    assert s["receiver"]["diff_soln"] is True and s["receiver"]["carr_soln"] == "float"
    assert s["rxm_rtcm"][1077] == {"used": 2, "not_used": 0, "unknown": 0, "crc_failed": 0}
    assert s["rxm_rtcm"][1087]["not_used"] == 1 and s["rxm_rtcm"][1005]["crc_failed"] == 1
    assert s["rxm_rtcm"][1230]["unknown"] == 1
    r.send(fix(flags=0x01 | 0x02 | 0x80))
    s = r.wait_status(lambda s: s["receiver"]["carr_soln"] == "fixed")
    r.send(fix(flags=0x01))
    s = r.wait_status(lambda s: s["receiver"]["carr_soln"] == "none")
    assert s["receiver"]["diff_soln"] is False


def test_a_port_slower_than_the_caster_keeps_memory_bounded(rover, caster):
    c = caster("v1", repeat=0, period=0.001, epoch=20)
    r = rover()
    r.wait_attached()
    r.reading.clear()  # the receiver takes nothing for now
    r.hub.ntrip(c.url(), gga_interval=0)
    s = r.wait_status(lambda s: s["frames_dropped"]["queue_full"] > 0, 30,
                      "frames giving way in a full queue")
    assert s["port"]["queued_bytes"] <= 64 * 1024
    for _ in range(20):
        assert r.status()["port"]["queued_bytes"] <= 64 * 1024
    r.reading.set()
    c.close()  # no more coming: the queue drains into the receiver
    s = r.wait_status(lambda s: s["port"]["queued_frames"] == 0 and
                      len(r.received()) == s["bytes_forwarded"], 30, "the queue to drain")
    # What reaches the receiver is whole frames, apart from writes cut by the time-out (counted).
    whole, junk = split_frames(r.received())
    assert len(whole) == s["frames_forwarded"]
    assert (junk > 0) == (s["port"]["partial_writes"] > 0)


# Enough to reach a full port: the first few dozen go out at once, later ones wait for room.
N_CMDS = 50


def test_setpowermode_and_corrections_never_interleave(rover, caster):
    c = caster("v1", repeat=0, period=0.01, epoch=4)
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), gga_interval=0)
    r.wait_status(lambda s: s["frames_forwarded"] > 20)
    # A port slower than the caster: writes go out in pieces, the moments where another
    # write could come in between.
    r.slow = True
    for _ in range(N_CMDS):
        r.g.setPowerMode()
        # spread over the stream: the next one after a few more frames went out
        done = r.status()["frames_forwarded"]
        r.wait_status(lambda s: s["frames_forwarded"] >= done + 3)
    r.slow = False
    r.wait_status(lambda s: s["frames_forwarded"] > 400)
    c.close()  # the rest drains
    cmd = ubx_helpers.frame(0x06, 0x11, b"\x08\x00")  # CFG-RXM lpMode 0, as setPowerMode sends
    port = wait_for(lambda: (lambda p: p if p["queued_frames"] == 0 and len(r.received()) ==
                             p["bytes_written"] + N_CMDS * len(cmd) else None)(r.hub.port_status),
                    30, "the queue to drain")
    data = r.received()
    cmds = frames = cut = 0
    i = 0

    def whole_frame_at(j):
        if data[j] != 0xD3 or j + 3 > len(data):
            return 0
        n = (data[j + 1] & 3) << 8 | data[j + 2]
        found, junk = split_frames(data[j:j + n + 6])
        return n + 6 if len(found) == 1 and junk == 0 else 0

    while i < len(data):
        if data.startswith(cmd, i):
            cmds += 1
            i += len(cmd)
            continue
        n = whole_frame_at(i)
        if n:
            frames += 1
            i += n
            continue
        # Not a whole frame: a write the time-out cut (counted by the writer), or a frame with
        # something else inside it (the fault under test). Resume at the next whole item.
        cut += 1
        i += 1
        while i < len(data) and not data.startswith(cmd, i) and not whole_frame_at(i):
            i += 1
    assert cmds == N_CMDS and port["external_writes"] >= N_CMDS
    assert frames == port["frames_written"]
    assert cut == port["partial_writes"]


def test_restart_resumes_the_stream_and_an_unplug_is_counted(rover, caster):
    c = caster("v1", repeat=0, period=0.01)
    r = rover()
    r.wait_attached()
    r.hub.ntrip(c.url(), gga_interval=0)
    r.wait_status(lambda s: s["frames_forwarded"] > 10)
    r.g.restart()
    s = r.wait_status(lambda s: s["port"]["attaches"] >= 2 and s["port"]["attached"])
    before = s["frames_forwarded"]
    r.wait_status(lambda s: s["frames_forwarded"] > before + 10, what="frames after the restart")
    _, junk = split_frames(r.received())
    assert junk == 0
    # Unplugged: the writes fail, each frame dropped and counted; nothing hangs.
    r.unplug()
    r.wait_status(lambda s: s["frames_dropped"]["write_failed"] >= 1, what="a failed write")


def test_arguments_stop_and_close(rover, caster, hubmod):
    c = caster("v1", repeat=0, period=0.05)
    r = rover()
    for bad, why in [("ntrip://alice:%s@127.0.0.1:2101" % QUOTED, "mountpoint"),
                     ("ntrip://alice:%s@:2101/M" % QUOTED, "host"),
                     ("https://alice:%s@h/M" % QUOTED, "ntrip://")]:
        with pytest.raises(ValueError, match=why) as e:
            r.hub.ntrip(bad)
        assert QUOTED not in str(e.value) and SECRET not in str(e.value)
    with pytest.raises(ValueError):
        r.hub.ntrip(c.url(), version=3)
    with pytest.raises(ValueError):
        r.hub.ntrip(c.url(), gga_interval=-1)
    assert r.hub.ntrip_status is None and r.hub.ntrip_stop() is False
    r.hub.ntrip(c.url())
    r.wait_status(lambda s: s["state"] == "streaming")
    r.hub.ntrip(c.url())  # replaces the running one
    c.wait(lambda: c.connections == 2, what="the second client")
    assert r.hub.ntrip_stop() is True and r.hub.ntrip_status is None
    r.hub.ntrip(c.url())
    r.wait_status(lambda s: s["state"] == "streaming")
    r.hub.close()
    assert r.hub.ntrip_status["state"] == "stopped"
    with pytest.raises(RuntimeError):
        r.hub.ntrip(c.url())


def test_sourcetable_lists_the_mountpoints(caster, hubmod):
    for mode, version in (("v2", 2), ("v1", 2), ("v1", 1)):
        c = caster(mode)
        table = hubmod.Hub.sourcetable(c.url(mount=""), version=version)
        streams = [t for t in table if t["type"] == "STR"]
        assert [t["mountpoint"] for t in streams] == ["TEST", "SEMI;COLON"]
        assert streams[0]["format"] == "RTCM 3.2" and streams[0]["nmea"] == "1"
        assert streams[0]["authentication"] == "B" and streams[0]["misc"] == [""]  # the line ends with ";"
        assert [t["type"] for t in table] == ["STR", "STR", "CAS", "NET"]
        assert c.requests[0][0].startswith("GET / HTTP/1.%d" % (1 if version == 2 else 0))
    with pytest.raises(OSError) as e:
        hubmod.Hub.sourcetable("ntrip://alice:%s@127.0.0.1:1/" % QUOTED, timeout=5)
    assert QUOTED not in str(e.value) and SECRET not in str(e.value)
