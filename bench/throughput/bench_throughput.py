#!/usr/bin/python3
"""Throughput of zq_gps's reader on a real pseudo-terminal, with a writer in its own process.

Each epoch is ten UBX frames (NAV-PVT and nine others of realistic sizes, 678 bytes; see
stream.py); the NAV-PVT of epoch k carries k in its iTOW and latitude, so the host (its own
process, see host.py) can tell which epoch getgps() and parsed_data show while the writer says
through shared memory which epoch it has written last.

  A  paced: NAV-PVT at BENCH_RATE Hz with the nine others, for BENCH_SECONDS.
  B  dense: the same epochs back to back, as fast as the pty takes them, for BENCH_DENSE_SECONDS.
     An unthrottled writer refills the pty's buffer (some 20 kB, about 30 epochs) as soon as
     the reader takes from it, so the end lag is split into what the pty still holds and what
     the reader has taken but not yet shown; the lag target applies to the latter.
  D  paced at the target: BENCH_TARGET_RATE UBX messages/s (default 5000, i.e. 500 epochs/s)
     for BENCH_DENSE_SECONDS; checks the target without the pty's buffer in the way.
  C  idle: nothing written for BENCH_IDLE_SECONDS; how often the reader thread wakes up. Counted
     from /proc (voluntary context switches, read syscalls) and, when strace works, once more
     under strace per syscall.
  M  hub.messages(): paced at BENCH_RATE Hz for BENCH_SECONDS, a host iterating zq_hub's
     hub.messages(); every NAV-PVT written after the iteration began must come through it, in
     order, none twice, with hub.dropped 0 (the writer's progress record is the truth).
  N  the same at the target rate (BENCH_TARGET_RATE / 10 epochs/s) for BENCH_DENSE_SECONDS.
The paced runs also give the reader thread's wake-ups per epoch.

Writes block, so the pty's flow control holds the writer back once the reader falls behind:
"written" is what went into the pty, and the paced run also reports the lag behind the
writer's schedule (what a receiver, which does not wait, would have sent by then).
"handled" is the reader's frame count (zq_gps.ubr.stats["frames"]); without it, the shown
epochs' advance times ten.

Environment: ZQ_BUILD (build dir), ZQ_ROOT (deployment root, default $ZQ_BUILD/root),
BENCH_OUT (default $ZQ_BUILD/bench-throughput), BENCH_SCENARIOS ("A B D C M N"),
BENCH_SECONDS (20),
BENCH_DENSE_SECONDS (10, B and D), BENCH_IDLE_SECONDS (10), BENCH_RATE (25),
BENCH_TARGET_RATE (5000), BENCH_POLL_MS (host's
sampling period, 10), BENCH_STRACE (auto; 0 skips the strace pass of C), BENCH_STRICT (1: exit
status 1 when a target is missed). A quick run of every scenario:
  BENCH_SECONDS=2 BENCH_DENSE_SECONDS=2 BENCH_IDLE_SECONDS=2 BENCH_STRACE=0
"""
import json
import math
import os
import re
import selectors
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
from stream import Epochs, Progress  # noqa: E402

# ---------------------------------------------------------------------------------------------
# Settings (from the environment) and targets
# ---------------------------------------------------------------------------------------------

BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(BUILD, "root"))
OUT = os.environ.get("BENCH_OUT", os.path.join(BUILD, "bench-throughput"))
SCENARIOS = os.environ.get("BENCH_SCENARIOS", "A B D C M N").split()
SECONDS = float(os.environ.get("BENCH_SECONDS", "20"))
DENSE_SECONDS = float(os.environ.get("BENCH_DENSE_SECONDS", "10"))
IDLE_SECONDS = float(os.environ.get("BENCH_IDLE_SECONDS", "10"))
RATE = float(os.environ.get("BENCH_RATE", "25"))
POLL = float(os.environ.get("BENCH_POLL_MS", "10")) / 1000
STRACE = os.environ.get("BENCH_STRACE", "auto")
STRICT = os.environ.get("BENCH_STRICT", "0") == "1"
PY = "/usr/bin/python3"

READ_TIMEOUT = 2.0  # the driver's port read time-out
TARGET_RATE = float(os.environ.get("BENCH_TARGET_RATE", "5000"))  # UBX messages/s handled
TARGET_LAG = 1  # epochs
TARGET_WAKEUPS = 1.2  # per read time-out, idle
EP = Epochs()
TRACED = "poll,ppoll,select,pselect6,read,clock_nanosleep,nanosleep,epoll_wait,epoll_pwait,futex"


# ---------------------------------------------------------------------------------------------
# Processes: the pty, the host (host.py) and the writer (writer.py)
# ---------------------------------------------------------------------------------------------

def load():
    with open("/proc/loadavg") as f:
        return " ".join(f.read().split()[:3])


def stop(proc, sig=signal.SIGTERM):
    if proc and proc.poll() is None:
        proc.send_signal(sig)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def close(self):
        os.close(self.master)
        os.close(self.slave)


def start_host(args, workdir, prefix=()):
    env = dict(os.environ, ZQ_ROOT=ROOT, ROOT_PATH=workdir)
    proc = subprocess.Popen(list(prefix) + [PY, os.path.join(HERE, "host.py")] + args,
                            stdout=subprocess.PIPE, stderr=open(os.path.join(workdir, "host.err"),
                                                                "w"),
                            text=True, env=env, cwd=workdir)
    sel = selectors.DefaultSelector()
    sel.register(proc.stdout, selectors.EVENT_READ)
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline:
        if sel.select(timeout=0.5):
            line = proc.stdout.readline()
            if not line:
                break
            if line.startswith("READY"):
                sel.close()
                return proc, int(line.split()[1])
    sel.close()
    stop(proc, signal.SIGKILL)
    with open(os.path.join(workdir, "host.err")) as f:
        raise RuntimeError("host did not start: " + f.read()[-2000:])


def host_result(proc, timeout, workdir):
    try:
        out, _ = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        stop(proc, signal.SIGKILL)
        raise RuntimeError("host did not finish in time")
    lines = [x for x in out.splitlines() if x.startswith("{")]
    if not lines:
        with open(os.path.join(workdir, "host.err")) as f:
            raise RuntimeError("host gave no result: " + f.read()[-2000:])
    res = json.loads(lines[-1])
    if "error" in res:
        raise RuntimeError("host: " + res["error"])
    return res


# ---------------------------------------------------------------------------------------------
# A, B and D: epochs through the pty
# ---------------------------------------------------------------------------------------------

def run_stream(scenario, mode, seconds, rate):
    """A or D (mode "paced", `rate` epochs/s) or B (mode "dense")."""
    with tempfile.TemporaryDirectory(prefix="zq-tput.") as workdir:
        pty = Pty()
        prog = os.path.join(workdir, "progress")
        Progress(prog, create=True).close()
        writer = None
        host = None
        la0 = load()
        try:
            host, _ = start_host(["stream", pty.path, prog, str(seconds), str(POLL)], workdir)
            writer = subprocess.Popen(
                [PY, os.path.join(HERE, "writer.py"), mode, str(pty.master), prog, str(rate)],
                pass_fds=(pty.master,))
            res = host_result(host, seconds + 60, workdir)
        finally:
            stop(host, signal.SIGKILL)
            stop(writer)
            pty.close()
        res["load_before"], res["load_after"] = la0, load()
        return summarise_stream(scenario, mode, res)


def shown_seq(sample):
    known = [s for s in sample[1:3] if s is not None]
    return min(known) if known else None


def summarise_stream(scenario, mode, res):
    samples = res.pop("samples")
    with open(os.path.join(OUT, "samples-%s.json" % scenario), "w") as f:
        json.dump({"fields": ["t", "epoch_getgps", "epoch_itow", "written_epoch",
                              "written_msgs", "written_bytes", "reader_frames",
                              "reader_buffered"], "samples": samples}, f)
    t0, t1 = res["t_start"], res["t_end"]
    dur = t1 - t0
    w0, w1 = res["writer_start"], res["writer_end"]
    last = samples[-1]
    written_rate = (w1["msgs"] - w0["msgs"]) / dur
    s0, s1 = res["stats_start"], res["stats_end"]
    if s0 and s1:
        handled_rate, handled_source = (s1["frames"] - s0["frames"]) / dur, "ubr.stats frames"
    else:
        first = next((shown_seq(s) for s in samples if shown_seq(s) is not None), -1)
        end = shown_seq(last)
        handled_rate = ((end if end is not None else -1) - first) * EP.MSGS / dur
        handled_source = "shown epochs x %d" % EP.MSGS

    def lag(s):
        seq = shown_seq(s)
        return max(0, s[3] - (seq if seq is not None else -1))

    half = t0 + dur / 2
    lags = [lag(s) for s in samples]
    second_half = [lag(s) for s in samples if s[0] >= half]
    out = {
        "scenario": scenario, "mode": mode, "seconds": round(dur, 2),
        "written_msgs_per_s": round(written_rate, 1),
        "handled_msgs_per_s": round(handled_rate, 1), "handled_from": handled_source,
        "written_bytes_per_s": round((w1["bytes"] - w0["bytes"]) / dur),
        "lag_end_epochs": lags[-1], "lag_max_second_half_epochs": max(second_half),
        "lag_max_epochs": max(lags),
        "lag_p95_second_half_epochs": sorted(second_half)[int(0.95 * (len(second_half) - 1))],
        "shown_epoch_end": shown_seq(last), "written_epoch_end": last[3],
        "cpu_process_s": round(res["cpu_process"], 3),
        "cpu_reader_thread_s": round(res["cpu_reader_thread"], 3),
        "reader_alive_at_end": res["reader_alive_at_end"],
        "load_before": res["load_before"], "load_after": res["load_after"],
        "samples": len(samples),
    }
    c0, c1 = res["reader_counters_start"], res["reader_counters_end"]
    if "voluntary_ctxt_switches" in c0:
        woke = c1["voluntary_ctxt_switches"] - c0["voluntary_ctxt_switches"]
        out["reader_wakeups_per_s"] = round(woke / dur, 1)
        epochs = w1["last_seq"] - w0["last_seq"]
        out["reader_wakeups_per_epoch"] = round(woke / epochs, 2) if epochs > 0 else None
    if "syscr" in c0:
        out["reader_reads_per_s"] = round((c1["syscr"] - c0["syscr"]) / dur, 1)
    if mode == "paced":
        rate = res["writer_rate"]
        out["offered_msgs_per_s"] = rate * EP.MSGS

        def due_lag(s):
            seq = shown_seq(s)
            return math.floor((s[0] - res["writer_t_start"]) * rate) - (
                seq if seq is not None else -1)

        out["schedule_lag_end_epochs"] = due_lag(last)
        out["schedule_lag_max_second_half_epochs"] = max(due_lag(s) for s in samples
                                                         if s[0] >= half)
        out["writer_behind_schedule_end_epochs"] = (
            math.floor((last[0] - res["writer_t_start"]) * rate) - last[3])
    if last[6] is not None:
        # Where the end lag sits: bytes the reader has taken from the stream are its frames
        # so far plus what it holds unparsed.
        taken = EP.bytes_of_frames(last[6]) + (last[7] or 0)
        pvts_taken = EP.progress(taken)[1]
        out["lag_end_in_pty_epochs"] = max(0, last[3] + 1 - pvts_taken)
        out["lag_end_in_reader_epochs"] = lags[-1] - out["lag_end_in_pty_epochs"]
    if mode == "paced":
        ok = out["lag_max_second_half_epochs"] <= TARGET_LAG and \
            out["written_msgs_per_s"] >= 0.95 * out["offered_msgs_per_s"]
        out["target"] = "lag <= %d epoch over the 2nd half, writer on schedule" % TARGET_LAG
    else:
        # The writer refills the pty the moment the reader takes from it, so what the pty
        # holds is the writer's lead, not the reader's lag; the lag target counts the rest.
        own = out.get("lag_end_in_reader_epochs", out["lag_end_epochs"])
        out["ok_rate"] = out["handled_msgs_per_s"] >= TARGET_RATE
        out["ok_lag"] = own <= TARGET_LAG
        ok = out["ok_rate"] and out["ok_lag"]
        out["target"] = ">= %d msgs/s handled (%s), lag past the pty <= %d epoch (%s)" % (
            TARGET_RATE, "met" if out["ok_rate"] else "missed", TARGET_LAG,
            "met" if out["ok_lag"] else "missed")
    out["ok"] = bool(ok and out["reader_alive_at_end"])
    return out


# ---------------------------------------------------------------------------------------------
# M and N: hub.messages() delivering every NAV-PVT

def run_messages(scenario, seconds, rate):
    """The paced writer at RATE epochs/s, a host iterating hub.messages(): every NAV-PVT the
    writer sent after the iteration began comes through, in order, none twice, none dropped."""
    with tempfile.TemporaryDirectory(prefix="zq-tput.") as workdir:
        pty = Pty()
        prog = os.path.join(workdir, "progress")
        Progress(prog, create=True).close()
        writer = host = None
        la0 = load()
        try:
            host, _ = start_host(["messages", pty.path, prog, str(seconds)], workdir)
            writer = subprocess.Popen(
                [PY, os.path.join(HERE, "writer.py"), "paced", str(pty.master), prog, str(rate)],
                pass_fds=(pty.master,))
            res = host_result(host, seconds + 60, workdir)
        finally:
            stop(host, signal.SIGKILL)
            stop(writer)
            pty.close()
    out = summarise_messages(scenario, rate, res)
    out["load_before"], out["load_after"] = la0, load()
    return out


def summarise_messages(scenario, rate, res):
    """The host's messages() result RES against the writer's progress."""
    seqs = res["seqs"]
    w0, w1 = res["writer_start"], res["writer_end"]
    dur = res["t_end"] - res["t_start"]
    written = w1["last_seq"] - w0["last_seq"]
    unbroken = bool(seqs) and seqs == list(range(seqs[0], seqs[0] + len(seqs)))
    # The iterator existed before w0 was read: every epoch after w0's last one must come (one
    # more allowed for an iterator that registers at its first step, not at the call).
    from_start = bool(seqs) and seqs[0] <= w0["last_seq"] + 2
    c0, c1 = res["reader_counters_start"], res["reader_counters_end"]
    woke = c1.get("voluntary_ctxt_switches", 0) - c0.get("voluntary_ctxt_switches", 0)
    out = {
        "scenario": scenario, "mode": "messages", "seconds": round(dur, 2), "rate": rate,
        "written_epochs": written, "delivered": len(seqs),
        "first_delivered": seqs[0] if seqs else None, "writer_at_start": w0["last_seq"],
        "last_delivered": seqs[-1] if seqs else None, "writer_at_end": w1["last_seq"],
        "unbroken": unbroken, "from_start": from_start, "dropped": res["dropped"],
        "dropped_iterator": res.get("dropped_iterator"),
        "other_identities": res["others"],
        "handled_msgs_per_s": round(len(seqs) * EP.MSGS / dur, 1) if dur > 0 else None,
        "cpu_process_s": round(res["cpu_process"], 3),
        "cpu_reader_thread_s": round(res["cpu_reader_thread"], 3),
        "reader_wakeups_per_s": round(woke / dur, 1) if dur > 0 else None,
        "reader_wakeups_per_epoch": round(woke / written, 2) if written > 0 else None,
        "reader_alive_at_end": res["reader_alive_at_end"],
        "target": "every NAV-PVT from the start on, in order, none twice, hub.dropped 0",
    }
    # hub.dropped and the iterator's own count, where they exist: at least one, all zero.
    counts = [c for c in (out["dropped"], out["dropped_iterator"]) if c is not None]
    out["ok"] = bool(unbroken and from_start and counts and all(c == 0 for c in counts)
                     and res["others"] == 0 and out["reader_alive_at_end"])
    return out


def messages_or_skip(scenario, seconds, rate):
    """run_messages, or a skipped result when this build's hub has no messages() yet."""
    try:
        return run_messages(scenario, seconds, rate)
    except RuntimeError as e:
        if "in this build" not in str(e):
            raise
        return {"scenario": scenario, "mode": "messages", "rate": rate, "skipped": str(e),
                "ok": None}


# ---------------------------------------------------------------------------------------------
# C: the idle reader
# ---------------------------------------------------------------------------------------------

def strace_usable():
    if STRACE == "0" or not shutil.which("strace"):
        return False
    r = subprocess.run(["strace", "-f", "-o", "/dev/null", "true"], capture_output=True)
    return r.returncode == 0


def count_strace(prefix, tid, t0, t1):
    counts = {}
    line_re = re.compile(r"^(\d+\.\d+) (\w+)\(")
    path = "%s.%d" % (prefix, tid)
    if not os.path.exists(path):
        return None
    with open(path) as f:
        for line in f:
            m = line_re.match(line)
            if m and t0 <= float(m.group(1)) <= t1:
                counts[m.group(2)] = counts.get(m.group(2), 0) + 1
    return counts


def run_idle(seconds):
    out = {"scenario": "C", "mode": "idle", "seconds": seconds, "load_before": load()}
    with tempfile.TemporaryDirectory(prefix="zq-tput.") as workdir:
        pty = Pty()
        try:
            host, _ = start_host(["idle", pty.path, str(seconds)], workdir)
            res = host_result(host, seconds + 60, workdir)
            c0, c1 = res["reader_counters_start"], res["reader_counters_end"]
            dur = res["seconds"]
            out["seconds"] = round(dur, 2)
            out["reader_wakeups"] = c1["voluntary_ctxt_switches"] - c0["voluntary_ctxt_switches"]
            out["reader_involuntary_switches"] = (c1["nonvoluntary_ctxt_switches"]
                                                  - c0["nonvoluntary_ctxt_switches"])
            if "syscr" in c0:
                out["reader_read_syscalls"] = c1["syscr"] - c0["syscr"]
            out["cpu_reader_thread_s"] = round(res["cpu_reader_thread"], 4)
            out["reader_alive_at_end"] = res["reader_alive_at_end"]
            out["wakeups_from"] = "voluntary context switches (/proc)"

            if strace_usable():
                prefix = os.path.join(workdir, "trace")
                host, _ = start_host(["idle", pty.path, str(seconds)], workdir,
                                     prefix=["strace", "-f", "-ff", "-ttt", "-e",
                                             "trace=" + TRACED, "-o", prefix])
                sres = host_result(host, seconds + 60, workdir)
                counts = count_strace(prefix, sres["tid"], sres["wall_start"], sres["wall_end"])
                if counts is not None:
                    out["strace_syscalls"] = counts
                    out["strace_seconds"] = round(sres["seconds"], 2)
                    blocking = sum(v for k, v in counts.items() if k != "read")
                    out["strace_blocking_calls"] = blocking
                    out["strace_reads"] = counts.get("read", 0)
        finally:
            pty.close()
    out["load_after"] = load()
    timeouts = out["seconds"] / READ_TIMEOUT
    # Each wait the reader enters is one wake-up when it ends: a sleep, a wait on the port, a
    # wait for the interpreter lock.
    wake = out.get("strace_blocking_calls", out["reader_wakeups"])
    if "strace_blocking_calls" in out:
        out["wakeups_from"] = "strace: calls that wait (all but read)"
    out["wakeups_per_read_timeout"] = round(wake / timeouts, 2)
    out["target"] = "<= %.1f wake-ups per %g s read time-out" % (TARGET_WAKEUPS, READ_TIMEOUT)
    out["ok"] = bool(out["wakeups_per_read_timeout"] <= TARGET_WAKEUPS
                     and out["reader_alive_at_end"])
    return out


# ---------------------------------------------------------------------------------------------
# The report
# ---------------------------------------------------------------------------------------------

def fmt(v):
    if v is None:
        return "-"
    if isinstance(v, float):
        return "%d" % round(v) if abs(v) >= 1000 else "%g" % v
    return str(v)


def table(results):
    lines = [
        "| scenario | s | msgs/s written | msgs/s handled | NAV-PVT lag end (epochs) "
        "| lag max, 2nd half | reader wake-ups | reader CPU s | load | target | verdict |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for r in results:
        if r.get("skipped"):
            lines.append("| %s messages() %g Hz | skipped: %s |" % (r["scenario"], r["rate"],
                                                                   r["skipped"]))
            continue
        if r["mode"] == "messages":
            row = ["%s messages() %g Hz" % (r["scenario"], r["rate"]), r["seconds"],
                   r["written_epochs"] * EP.MSGS / r["seconds"] if r["seconds"] else None,
                   r["handled_msgs_per_s"], r["writer_at_end"] - (r["last_delivered"] or 0),
                   "-", "%s/s (%s/epoch)" % (fmt(r["reader_wakeups_per_s"]),
                                             fmt(r["reader_wakeups_per_epoch"])),
                   r["cpu_reader_thread_s"], r["load_before"], r["target"]]
        elif r["scenario"] == "C":
            wake = "%s in %gs (%s per 2 s)" % (
                r.get("strace_blocking_calls", r["reader_wakeups"]), r["seconds"],
                r["wakeups_per_read_timeout"])
            row = ["C idle", r["seconds"], 0, "-", "-", "-", wake, r["cpu_reader_thread_s"],
                   r["load_before"], r["target"]]
        else:
            name = {"A": "A %g Hz" % RATE, "B": "B dense",
                    "D": "D %g msgs/s" % TARGET_RATE}[r["scenario"]]
            row = [name, r["seconds"], r["written_msgs_per_s"], r["handled_msgs_per_s"],
                   r["lag_end_epochs"], r["lag_max_second_half_epochs"],
                   "%s/s (%s/epoch)" % (fmt(r.get("reader_wakeups_per_s")),
                                        fmt(r.get("reader_wakeups_per_epoch"))),
                   r["cpu_reader_thread_s"],
                   r["load_before"], r["target"]]
        row.append("PASS" if r["ok"] else "FAIL")
        lines.append("| " + " | ".join(fmt(x) for x in row) + " |")
    return "\n".join(lines)


def details(r):
    if r.get("skipped"):
        return "%s: SKIPPED: %s" % (r["scenario"], r["skipped"])
    if r["mode"] == "messages":
        return ("%s: hub.messages() delivered %d NAV-PVT, epochs %s..%s (writer at %s when the "
                "iteration began, %s at its end), unbroken %s, from the start %s, dropped "
                "(hub/iterator) %s/%s, other identities %s; host CPU %s s" % (
                    r["scenario"], r["delivered"], r["first_delivered"], r["last_delivered"],
                    r["writer_at_start"], r["writer_at_end"], r["unbroken"], r["from_start"],
                    r["dropped"], r["dropped_iterator"], r["other_identities"],
                    r["cpu_process_s"]))
    if r["scenario"] in ("A", "D"):
        s = (r["scenario"] + ": offered %g msgs/s; lag behind the writer's schedule: end %s, "
             "max 2nd half %s epochs (writer held back by %s epochs)" % (
                 r["offered_msgs_per_s"], r["schedule_lag_end_epochs"],
                 r["schedule_lag_max_second_half_epochs"],
                 r["writer_behind_schedule_end_epochs"]))
    elif r["scenario"] == "B":
        s = "B: %d kB/s into the pty" % (r["written_bytes_per_s"] // 1000)
    else:
        s = "C: %s; %s reads" % (r["wakeups_from"], r.get("strace_reads",
                                                          r.get("reader_read_syscalls")))
        if "strace_syscalls" in r:
            s += "; under strace %s" % json.dumps(r["strace_syscalls"], sort_keys=True)
        s += "; /proc: %d voluntary switches, %s read syscalls" % (
            r["reader_wakeups"], r.get("reader_read_syscalls"))
        return s
    if "lag_end_in_pty_epochs" in r:
        s += "; end lag held in the pty %s, taken by the reader but not shown %s" % (
            r["lag_end_in_pty_epochs"], r["lag_end_in_reader_epochs"])
    s += "; handled from %s; reader %s reads/s" % (r["handled_from"],
                                                   fmt(r.get("reader_reads_per_s")))
    return s


# ---------------------------------------------------------------------------------------------
# Running the scenarios
# ---------------------------------------------------------------------------------------------

def main():
    if not any(f.startswith("zq_gps") and f.endswith((".so", ".py")) for f in os.listdir(ROOT)):
        print("bench/throughput: zq_gps is not built in %s" % ROOT, file=sys.stderr)
        return 1
    os.makedirs(OUT, exist_ok=True)
    uptime = subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip()
    results = []
    for sc in SCENARIOS:
        if sc == "A":
            print("bench/throughput: A, %g Hz for %g s ..." % (RATE, SECONDS), flush=True)
            results.append(run_stream("A", "paced", SECONDS, RATE))
        elif sc == "B":
            print("bench/throughput: B, dense for %g s ..." % DENSE_SECONDS, flush=True)
            results.append(run_stream("B", "dense", DENSE_SECONDS, 0))
        elif sc == "D":
            rate = TARGET_RATE / EP.MSGS
            print("bench/throughput: D, %g epochs/s for %g s ..." % (rate, DENSE_SECONDS),
                  flush=True)
            results.append(run_stream("D", "paced", DENSE_SECONDS, rate))
        elif sc == "C":
            print("bench/throughput: C, idle for %g s ..." % IDLE_SECONDS, flush=True)
            results.append(run_idle(IDLE_SECONDS))
        elif sc == "M":
            print("bench/throughput: M, hub.messages() at %g Hz for %g s ..." % (RATE, SECONDS),
                  flush=True)
            results.append(messages_or_skip("M", SECONDS, RATE))
        elif sc == "N":
            rate = TARGET_RATE / EP.MSGS
            print("bench/throughput: N, hub.messages() at %g epochs/s for %g s ..." % (
                rate, DENSE_SECONDS), flush=True)
            results.append(messages_or_skip("N", DENSE_SECONDS, rate))
        else:
            print("bench/throughput: no scenario %r" % sc, file=sys.stderr)
            return 2
    doc = {"root": os.path.abspath(ROOT), "uptime_at_start": uptime, "rate_hz": RATE,
           "poll_ms": POLL * 1000, "epoch_bytes": EP.size, "msgs_per_epoch": EP.MSGS,
           "results": results}
    path = os.path.join(OUT, "results.json")
    with open(path, "w") as f:
        json.dump(doc, f, indent=2)
    print()
    print("zq_gps reader throughput on a pty (%s); %s" % (os.path.abspath(ROOT), uptime))
    print("epoch = %d UBX messages, %d bytes; lag = NAV-PVT epochs written but not yet shown "
          "by getgps()/parsed_data" % (EP.MSGS, EP.size))
    print(table(results))
    for r in results:
        print(details(r))
    print()
    for r in results:
        print("verdict throughput %s: %s: %s" % (
            r["scenario"], {True: "PASS", False: "FAIL", None: "SKIPPED"}[r["ok"]],
            r.get("target", r.get("skipped"))))
    print("\nfull results: %s" % path)
    return 1 if STRICT and any(r["ok"] is False for r in results) else 0


if __name__ == "__main__":
    sys.exit(main())
