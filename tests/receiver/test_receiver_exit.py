"""A host that leaves the interpreter without stop() while a reader runs: a fresh interpreter per
run, on zq-sim's pseudo-terminal, leaving at varied moments. The interpreter ends a daemon
thread that wants its lock back during finalization by unwinding the thread's stack through the
module; the process must still end with status 0 and no fatal message."""
import os
import subprocess
import time

import pytest

from zq_paths import CAPTURES, ROOT
from zq_sim import PYTHON, Sim

HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "exit_host.py")
FATAL = ("Fatal Python error", "terminate called", "exception not rethrown",
         "AddressSanitizer", "runtime error:")
# Processes at a time: the exits land while the others keep the machine's cores busy, which
# varies the moments further.
BATCH = 6


@pytest.fixture(scope="module")
def sims():
    """Where the reader is when the host leaves: waiting in a read (no data), in the loop's
    pause between messages (25 Hz), or storing one message after the other (a recording sent
    as fast as it is read). Several hosts share one simulator; that only splits its stream."""
    made = {"silent": Sim("--paused"), "paced": Sim("--rate", "25"),
            "busy": Sim("--replay", os.path.join(CAPTURES, "ublox-neo-m8n.log"),
                        "--pace", "fast", "--loop", "0")}
    yield made
    for s in made.values():
        s.close()


def left_last(out):
    """True when the host printed "leaving" and nothing after it but the constructor's line,
    which a daemon starter may still print while the main thread leaves."""
    lines = out.splitlines()
    return "leaving" in lines and all(
        line == "Done starting gps thread" for line in lines[lines.index("leaving") + 1:])


def run_hosts(cases, tmp_path):
    """Runs exit_host.py once per case (port, starter, moment, delay), BATCH at a time;
    returns a description of every run that did not end cleanly."""
    env = dict(os.environ, ROOT_PATH=str(tmp_path))
    if "ASAN_OPTIONS" in env:
        # Under the sanitized run: what a daemon thread holds when the interpreter ends it is
        # never freed, by the interpreter's design (a pure Python daemon thread in time.sleep
        # leaves the same), so leaks are not looked for here; every other report still is.
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    bad = []
    for first in range(0, len(cases), BATCH):
        running = [(c, subprocess.Popen([PYTHON, HOST, ROOT, *c], stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True, env=env))
                   for c in cases[first:first + BATCH]]
        for case, proc in running:
            try:
                out, err = proc.communicate(timeout=60)
            except subprocess.TimeoutExpired:
                proc.kill()
                out, err = proc.communicate()
                bad.append("%s: did not exit within 60 s" % (case,))
                continue
            if (proc.returncode != 0 or not left_last(out)
                    or any(f in err for f in FATAL)):
                bad.append("%s: status %s, stderr %r" % (case, proc.returncode, err[-400:]))
    return bad


def test_leaving_without_stop_ends_cleanly_wherever_the_reader_is(sims, tmp_path):
    cases = []
    for i in range(54):
        kind = ("silent", "paced", "busy")[i % 3]
        starter = ("daemon", "main")[i // 3 % 2]
        if kind == "silent":
            moment = "built"
        elif starter == "daemon" and i // 6 % 3 == 0:
            moment = "during"  # the daemon may still be in the constructor, or just past it
        else:
            moment = "data"
        # Spread over two of the busy stream's reads and a pass of the paced one's pause.
        delay = "%.3f" % (i * 0.0137 % 0.06)
        cases.append((sims[kind].link, starter, moment, delay))
    started = time.monotonic()
    bad = run_hosts(cases, tmp_path)
    assert not bad, "%d of %d exits failed:\n%s" % (len(bad), len(cases), "\n".join(bad))
    print("%d exits in %.1f s" % (len(cases), time.monotonic() - started))


def test_leaving_while_a_thread_waits_to_restart_ends(tmp_path):
    # A thread waiting for another to leave restart() must not hold up the process's end.
    cases = [("-", "daemon", "lock", "%.3f" % (0.02 + 0.01 * i)) for i in range(6)]
    bad = run_hosts(cases, tmp_path)
    assert not bad, "\n".join(bad)
