"""What the benchmark scripts share: where the build and the deployment root are (ZQ_BUILD,
ZQ_ROOT), waiting for a condition, stopping a process, a free local port, and one thread's CPU
time and wake-ups. A script puts bench/ (its parent directory) on sys.path to import it; the
host programs the benches start import it too, so it imports nothing but the standard library."""
import os
import signal
import socket
import subprocess
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(BUILD, "root"))
SIM = os.path.join(BUILD, "tools", "zq-sim")
PY = "/usr/bin/python3"


def wait_for(predicate, timeout, what):
    """Polls PREDICATE until it is true; RuntimeError after TIMEOUT seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.01)


def stop(proc, timeout=10):
    """SIGTERM, then SIGKILL when PROC has not ended within TIMEOUT seconds."""
    if proc and proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def thread_cpu(thread):
    """CPU time of one thread of this process, in seconds (nanosecond clock, not ticks)."""
    return time.clock_gettime(time.pthread_getcpuclockid(thread.ident))


def switches(tid):
    """Voluntary context switches of one thread of this process: its wake-ups from waits."""
    with open("/proc/self/task/%d/status" % tid) as f:
        for line in f:
            if line.startswith("voluntary_ctxt_switches"):
                return int(line.split(":")[1])
    return 0
