"""The reader loop, run on the test's thread with a scripted reader and a clock that does
not wait: what is stored, what is skipped, how failures are counted and when the loop ends."""
import pytest

from zq_fakes import Msg, pvt

CODE2_LOG = "GPS Error: {}, 'Error-Code: 0002, Error-Message: Failure in GPS-read().'"
CODE2_LINE = "Error-Code: 0002, Error-Message: Failure in GPS-read()."


def run_loop(env, g, script):
    env.script[:] = script
    assert g.loop_gps() is None


def test_accepted_message_converts_and_stores(env):
    g = env.make()
    msg = pvt(gSpeed=1234, headMot=4500000, headAcc=321, fixType=3, hMSL=500)
    run_loop(env, g, [(b"raw", msg)])
    assert g.getgps() == (8.5, 47.5, 1.5, 9, 1234, 321, 4500000)
    assert (g.numSV, g.pDOP, g.fixType, g.hMSL) == (9, 150, 3, 500)
    assert g.parsed_data is msg
    assert g.flag is False  # the loop has ended since


def test_zero_longitude_is_stored_as_float(env):
    g = env.make()
    run_loop(env, g, [(b"", pvt(lon=0))])
    assert g.lon == 0.0 and type(g.lon) is float


def test_flag_true_while_delivering(env):
    g = env.make()
    seen = []
    run_loop(env, g, [(b"", pvt()), lambda: seen.append(g.flag) or (None, None)])
    assert seen == [True]


@pytest.mark.parametrize("result", [
    (None, None), (b"x", "a text"), (b"x", Msg("NAV-SAT", lon=1, lat=1, pDOP=1, numSV=1)),
])
def test_skipped_reads_store_nothing(env, result):
    g = env.make()
    before = dict(vars(g))
    run_loop(env, g, [result] * 3)
    after = dict(vars(g))
    assert after.pop("flag") is False and before.pop("flag") is False
    before.pop("stopit"), after.pop("stopit")
    assert after == before


def test_pause_comes_first_in_every_pass(env):
    g = env.make()
    run_loop(env, g, [(None, None), (None, None)])
    # two scripted reads, one read that ends the script, then the stop check's pass
    assert env.time.sleeps == [0.025] * 4


def test_hundred_failures_keep_running_the_next_one_ends(env, capsys):
    g = env.make()
    capsys.readouterr()
    run_loop(env, g, [OSError("read failed")] * 100 + [(None, None)])
    assert env.log.texts("error") == [] and capsys.readouterr().out == ""
    assert env.readers[0].reads == 102  # the loop was ended by the stop request

    g.stopit = 0
    run_loop(env, g, [OSError("read failed")] * 101 + [(b"", pvt())])
    assert env.log.texts("error") == [CODE2_LOG.format("read failed")]
    assert capsys.readouterr().out == CODE2_LINE + "\nread failed\n"
    assert g.flag is False and g.lat == 0  # the message behind the 101st failure is not read


def test_accepted_message_resets_the_count(env):
    g = env.make()
    run_loop(env, g, [OSError("x")] * 100 + [(b"", pvt())] + [OSError("y")] * 100)
    assert env.log.texts("error") == [] and g.lat == 47.5


def test_skips_neither_raise_nor_reset_the_count(env, capsys):
    g = env.make()
    skips = [(None, None), (b"", "text"), (b"", Msg("ACK-ACK"))]
    run_loop(env, g, [OSError("x")] * 100 + skips * 5 + [OSError("last")])
    assert env.log.texts("error") == [CODE2_LOG.format("last")]


@pytest.mark.parametrize("bad", [(1, 2, 3), (1,), 5])
def test_read_result_must_unpack_into_two(env, bad):
    g = env.make()
    run_loop(env, g, [bad] * 101)
    assert len(env.log.texts("error")) == 1


def test_message_without_pdop_stores_partially_and_counts(env):
    g = env.make()
    msg = Msg("NAV-PVT", lon=10000000, lat=20000000, numSV=5)
    run_loop(env, g, [(b"", msg)] + [OSError("x")] * 100)
    assert (g.parsed_data, g.lon, g.lat) == (msg, 1.0, 2.0)
    assert (g.acc, g.numofsat, g.last_Time) == (99.99, -1, 1000.0)
    assert len(env.log.texts("error")) == 1  # 1 + 100 failures


def test_absent_optional_fields_keep_their_values(env):
    g = env.make()
    full = pvt(headVeh=100, magDec=-5, magAcc=7, gSpeed=10)
    short = pvt(gSpeed=20)  # as decoded from the 84-byte form
    run_loop(env, g, [(b"", full), (b"", short)])
    assert (g.headVeh, g.magDec, g.magAcc, g.gSpeed) == (100, -5, 7, 20)


def test_optional_field_whose_lookup_fails_is_skipped(env):
    class Odd(Msg):
        @property
        def hAcc(self):
            raise RuntimeError("not decodable")
    g = env.make()
    run_loop(env, g, [(b"", Odd("NAV-PVT", lon=1, lat=1, pDOP=1, numSV=1, vAcc=4))])
    assert (g.hAcc, g.vAcc) == (-1, 4) and env.log.texts("error") == []


def test_debug_dump_once_a_second_and_last_time(env):
    g = env.make()
    start = env.time.now
    stamps, dumps = [], []

    def at(t):
        def item():
            env.time.now = start + t
            return (b"", pvt(iTOW=t))
        return item

    times = [0.2 * k for k in range(1, 13)]
    script = []
    for t in times:
        script += [at(t), lambda: stamps.append(g.last_Time) or (None, None)]
    run_loop(env, g, script)
    dumps = [m.iTOW for m in env.log.texts("debug")]
    # strictly more than a second: 1.0 is not dumped, 1.2 is; then more than 1 s after that
    assert dumps == pytest.approx([1.2, 2.4])
    # the stamp stored with a message is the previous dump's time, never its own
    expected = [start if t <= 1.2 + 1e-9 else start + 1.2 if t <= 2.4 + 1e-9 else start + 2.4
                for t in times]
    assert stamps == pytest.approx(expected)


def test_stop_request_before_first_pass(env):
    g = env.make()
    g.stopit = True
    g.flag = "unchanged?"
    run_loop(env, g, [(b"", pvt())])
    assert env.readers[0].reads == 0 and g.flag is False and env.time.sleeps == [0.025]


def test_interrupt_ends_loop_unguarded(env):
    g = env.make()
    env.script[:] = [(b"", pvt()), KeyboardInterrupt()]
    with pytest.raises(KeyboardInterrupt):
        g.loop_gps()
    assert g.flag is True


def test_new_reader_takes_effect_next_pass(env):
    g = env.make()
    other = type("R", (), {})()
    calls = []

    def swap():
        g.ubr = other
        return (None, None)

    def other_read():
        calls.append(1)
        g.stopit = 1
        return (b"", pvt(lat=10000000))
    other.read = other_read
    run_loop(env, g, [swap])
    assert calls == [1] and g.lat == 1.0
