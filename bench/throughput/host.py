#!/usr/bin/python3
"""Host side of the throughput bench: a zq_gps object on the pty's slave, watched from outside.

Usage: host.py stream PORT PROGRESS_FILE SECONDS POLL_SECONDS
       host.py idle PORT SECONDS
       host.py messages PORT PROGRESS_FILE SECONDS
(ZQ_ROOT: deployment root; ROOT_PATH: where the driver writes its logs.)

Both print "READY <reader thread id>" once the reader runs, then one JSON object at the end.
stream: waits for the writer's first bytes, then every POLL_SECONDS notes how far the writer
has got, which epoch getgps() and parsed_data show, and the reader's counters.
idle: notes the reader thread's wake-up and read counters from /proc over SECONDS.
messages: attaches zq_hub and iterates hub.messages() for SECONDS, noting the epoch of every
NAV-PVT it delivers and the writer's progress at the start and the end.
"""
import json
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.dirname(HERE)]
from bench_common import thread_cpu  # noqa: E402
from stream import Progress, seq_of_itow, seq_of_lat  # noqa: E402


def thread_counters(tid):
    """Voluntary/involuntary context switches and read-type syscalls of one of our threads."""
    out = {}
    with open("/proc/self/task/%d/status" % tid) as f:
        for line in f:
            if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                k, v = line.split(":")
                out[k] = int(v)
    try:
        with open("/proc/self/task/%d/io" % tid) as f:
            for line in f:
                k, v = line.split(":")
                if k == "syscr":
                    out["syscr"] = int(v)
    except OSError:
        pass
    return out


def reader_stats(g):
    """The reader's scanner counters, when it has them."""
    try:
        s = g.ubr.stats
        return {"frames": int(s["frames"]), "buffered": int(s.get("buffered", 0))}
    except Exception:
        return None


def shown(g):
    """(epoch in getgps(), epoch in parsed_data.iTOW); None where nothing is shown yet."""
    lat = g.getgps()[1]
    pos = seq_of_lat(lat) if lat else None
    pd = g.parsed_data
    itow = getattr(pd, "iTOW", None) if pd is not None else None
    return pos, seq_of_itow(itow) if isinstance(itow, int) else None


def start(port):
    root = os.environ["ZQ_ROOT"]
    sys.path.insert(0, root)
    os.environ.setdefault("ROOT_PATH", root)
    import zq_gps

    g = zq_gps.zq_gps(gpsmode="NAV-PVT", port=port)
    time.sleep(0.2)
    print("READY %d" % g.t1.native_id, flush=True)
    return g


def finish(g, result):
    alive = g.t1.is_alive()
    g.stop()
    g.t1.join(timeout=5)
    result["reader_alive_at_end"] = alive
    print(json.dumps(result), flush=True)


def snapshot(g, prog, tid):
    """The clock, the writer's progress, the reader's statistics and counters, the process's
    and the reader thread's CPU time, read in that order."""
    return (time.monotonic(), prog.read(), reader_stats(g), thread_counters(tid),
            time.process_time(), thread_cpu(g.t1))


def run_stream(port, path, seconds, poll):
    prog = Progress(path)
    g = start(port)
    deadline = time.monotonic() + 10
    while prog.read()["bytes"] == 0:
        if time.monotonic() > deadline:
            finish(g, {"error": "the writer sent nothing within 10 s"})
            return 1
        time.sleep(0.001)
    tid = g.t1.native_id
    t0, w0, s0, c0, cpu0, rcpu0 = snapshot(g, prog, tid)
    samples = []
    end = t0 + seconds
    while True:
        # The writer's progress first, what is shown after it: an epoch counted as not shown
        # was written before the look, whatever the scheduler does between the two reads.
        now = time.monotonic()
        w = prog.read()
        pos, itow = shown(g)
        st = reader_stats(g)
        samples.append((now, pos, itow, w["last_seq"], w["msgs"], w["bytes"],
                        st["frames"] if st else None, st["buffered"] if st else None))
        if now >= end:
            break
        time.sleep(poll)
    t1, w1, s1, c1, cpu1, rcpu1 = snapshot(g, prog, tid)
    prog.close()
    finish(g, {
        "t_start": t0, "t_end": t1, "writer_start": w0, "writer_end": w1,
        "writer_t_start": w1["t_start"], "writer_rate": w1["rate"],
        "stats_start": s0, "stats_end": s1,
        "reader_counters_start": c0, "reader_counters_end": c1,
        "cpu_process": cpu1 - cpu0, "cpu_reader_thread": rcpu1 - rcpu0,
        "samples": samples,
    })
    return 0


def run_idle(port, seconds):
    g = start(port)
    time.sleep(1.0)  # past the reader's first pass
    tid = g.t1.native_id
    c0, rcpu0 = thread_counters(tid), thread_cpu(g.t1)
    w0, t0 = time.time(), time.monotonic()
    time.sleep(seconds)
    w1, t1 = time.time(), time.monotonic()
    c1, rcpu1 = thread_counters(tid), thread_cpu(g.t1)
    finish(g, {
        "tid": tid, "wall_start": w0, "wall_end": w1, "seconds": t1 - t0,
        "reader_counters_start": c0, "reader_counters_end": c1,
        "cpu_reader_thread": rcpu1 - rcpu0, "flag_at_end": bool(g.flag),
    })
    return 0


def run_messages(port, path, seconds):
    """Iterates hub.messages() (the accepted messages) for SECONDS after the writer's first
    bytes; notes the epoch of every NAV-PVT, and the writer's progress when the iteration began
    and when it ended."""
    prog = Progress(path)
    g = start(port)
    import zq_hub

    hub = zq_hub.attach(g)
    if not callable(getattr(hub, "messages", None)):
        hub.close()
        finish(g, {"error": "zq_hub's Hub has no messages() in this build"})
        return 1
    deadline = time.monotonic() + 10
    while prog.read()["bytes"] == 0:
        if time.monotonic() > deadline:
            hub.close()
            finish(g, {"error": "the writer sent nothing within 10 s"})
            return 1
        time.sleep(0.001)
    tid = g.t1.native_id
    c0, cpu0, rcpu0 = thread_counters(tid), time.process_time(), thread_cpu(g.t1)
    it = hub.messages(timeout=2.0)
    # Read after the iterator exists: every epoch written after this must come through it.
    w0 = prog.read()
    t0 = time.monotonic()
    end = t0 + seconds
    seqs, others = [], 0
    for m in it:
        if m.identity == "NAV-PVT":
            seqs.append(seq_of_itow(m.iTOW))
        else:
            others += 1
        if time.monotonic() >= end:
            break
    t1 = time.monotonic()
    w1 = prog.read()
    c1, cpu1, rcpu1 = thread_counters(tid), time.process_time(), thread_cpu(g.t1)
    dropped = getattr(hub, "dropped", None)
    dropped_it = getattr(it, "dropped", None)
    if callable(getattr(it, "close", None)):
        it.close()
    hub.close()
    prog.close()
    finish(g, {
        "t_start": t0, "t_end": t1, "writer_start": w0, "writer_end": w1, "seqs": seqs,
        "others": others, "dropped": dropped, "dropped_iterator": dropped_it,
        "reader_counters_start": c0, "reader_counters_end": c1,
        "cpu_process": cpu1 - cpu0, "cpu_reader_thread": rcpu1 - rcpu0,
    })
    return 0


def main():
    mode = sys.argv[1]
    if mode == "stream":
        return run_stream(sys.argv[2], sys.argv[3], float(sys.argv[4]), float(sys.argv[5]))
    if mode == "idle":
        return run_idle(sys.argv[2], float(sys.argv[3]))
    if mode == "messages":
        return run_messages(sys.argv[2], sys.argv[3], float(sys.argv[4]))
    print("usage: host.py stream|idle|messages ...", file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
