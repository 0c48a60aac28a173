"""A host leaves with hub waiters blocked, callbacks running or blocked for ever, and the reader
running: the process ends with status 0 and no fatal message. And Ctrl-C interrupts a wait."""
import os
import signal
import subprocess

from zq_paths import ROOT
from zq_sim import PYTHON, Sim, wait_until

HOST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "exit_hub_host.py")
FATAL = ("Fatal Python error", "terminate called", "exception not rethrown",
         "AddressSanitizer", "runtime error:", "Traceback")


def env(tmp_path):
    e = dict(os.environ, ROOT_PATH=str(tmp_path))
    if "ASAN_OPTIONS" in e:
        e["ASAN_OPTIONS"] += ":detect_leaks=0"  # daemon threads' holdings at exit, by design
    return e


def test_leaving_with_waiters_blocked_and_the_reader_running_ends_cleanly(tmp_path):
    sim = Sim("--quiet", "--rate", "25")
    try:
        runs = [(mode, "%.3f" % (0.05 + 0.07 * i)) for i in range(5)
                for mode in ("waiters", "busy")]
        procs = [(r, subprocess.Popen([PYTHON, HOST, ROOT, sim.link, *r], text=True,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                      env=env(tmp_path))) for r in runs]
        bad = []
        for r, p in procs:
            try:
                out, err = p.communicate(timeout=90)
            except subprocess.TimeoutExpired:
                p.kill()
                out, err = p.communicate()
                bad.append("%s: did not exit" % (r,))
                continue
            if p.returncode != 0 or out.splitlines()[-1:] != ["leaving"] or any(
                    f in err for f in FATAL):
                bad.append("%s: status %s, out %r, err %r" % (r, p.returncode, out[-200:],
                                                             err[-400:]))
        assert not bad, "\n".join(bad)
    finally:
        sim.close()


def main_thread_state(pid):
    with open("/proc/%d/task/%d/stat" % (pid, pid)) as f:
        return f.read().rpartition(")")[2].split()[0]


def test_ctrl_c_interrupts_a_wait(tmp_path):
    sim = Sim("--quiet", "--paused")
    try:
        p = subprocess.Popen([PYTHON, HOST, ROOT, sim.link, "sigint", "0"], text=True,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env(tmp_path))
        first = p.stdout.readline()
        while first and first.strip() != "waiting":
            first = p.stdout.readline()
        assert first.strip() == "waiting"
        # The signal goes once the main thread sleeps (in wait()), not while it still prints.
        wait_until(lambda: main_thread_state(p.pid) == "S", 20, "the host to block in wait()")
        p.send_signal(signal.SIGINT)
        out, err = p.communicate(timeout=60)
        assert p.returncode == 0, err
        assert out.split() == ["interrupted", "leaving"], (out, err)
    finally:
        sim.close()
