"""The logging service under load: THREADS threads log numbered records to one logger for S
seconds with the service's own limits (5 MiB files, 3 backups). Every record must be accounted
for exactly once: in the files left at the end, or in a backup that rotation deleted (read
just before its deletion). The disk bound must hold at every rotation and at the end.
Prints one JSON line; exits 1 when a record is lost, duplicated or broken, or a bound is broken.

    /usr/bin/python3 bench/soak/logger_load.py [--threads 10] [--seconds 30] [--root build/root]
"""
import argparse
import json
import logging.handlers
import os
import re
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
RECORD = re.compile(r"^\S+ INFO \[(load-\d+)\] (load-\d+) (\d+) x+$")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--threads", type=int, default=10)
    ap.add_argument("--seconds", type=float, default=30)
    ap.add_argument("--root", default=os.environ.get("ZQ_ROOT", os.path.join(REPO, "build", "root")))
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(os.path.abspath(args.root), "libs"))
    import zq_logger

    d = tempfile.mkdtemp(prefix="zq-logsoak.")
    path = os.path.join(d, "gps_load.log")
    log = zq_logger.zq_logger().createlogger("soak", path)
    # A file may pass max_bytes by part of one record (the service's own documented slack).
    limit = (zq_logger.BACKUP_COUNT + 1) * (zq_logger.MAX_BYTES + 1024)

    # Whatever rotation deletes is read first, so that no record goes uncounted.
    deleted = []
    worst_disk = [0]
    real_remove = os.remove

    def remove(p, *a, **kw):
        if os.path.abspath(p).startswith(path):
            with open(p, encoding="utf-8") as f:
                deleted.append(f.read())
            on_disk = sum(os.path.getsize(os.path.join(d, n)) for n in os.listdir(d))
            worst_disk[0] = max(worst_disk[0], on_disk)
        return real_remove(p, *a, **kw)

    logging.handlers.os.remove = remove

    stop = threading.Event()
    counts = {}

    def worker(name):
        n = 0
        pad = "x" * (40 + len(name) * 3)
        while not stop.is_set():
            log.info("%s %d %s" % (name, n, pad))
            n += 1
        counts[name] = n

    workers = [threading.Thread(target=worker, args=("load-%d" % k,), name="load-%d" % k)
               for k in range(args.threads)]
    t0 = time.monotonic()
    for w in workers:
        w.start()
    time.sleep(args.seconds)  # the run's length, not a synchronisation
    stop.set()
    for w in workers:
        w.join()
    elapsed = time.monotonic() - t0
    for h in log.handlers:
        h.flush()
    logging.handlers.os.remove = real_remove

    files = sorted(os.listdir(d))
    on_disk = sum(os.path.getsize(os.path.join(d, n)) for n in files)
    texts = list(deleted)
    for n in files:
        with open(os.path.join(d, n), encoding="utf-8") as f:
            texts.append(f.read())
    seen = {name: set() for name in counts}
    broken = duplicated = 0
    lines = 0
    for text in texts:
        for line in text.splitlines():
            lines += 1
            m = RECORD.match(line)
            if not m or m.group(1) != m.group(2):
                broken += 1
                continue
            seq = int(m.group(3))
            if seq in seen[m.group(2)]:
                duplicated += 1
            seen[m.group(2)].add(seq)
    lost = sum(counts[name] - len(seen[name]) for name in counts)
    total = sum(counts.values())
    result = {"run": "logger", "threads": args.threads, "seconds": round(elapsed, 1),
              "records": total, "records_per_second": round(total / elapsed),
              "lines_read": lines, "lost": lost, "duplicated": duplicated, "broken": broken,
              "rotations_deleting": len(deleted), "files_at_end": len(files),
              "disk_at_end_bytes": on_disk, "worst_disk_bytes": max(worst_disk[0], on_disk),
              "disk_bound_bytes": limit}
    ok = (lost == 0 and duplicated == 0 and broken == 0 and lines == total
          and len(files) <= zq_logger.BACKUP_COUNT + 1 and result["worst_disk_bytes"] <= limit)
    result["ok"] = ok
    print(json.dumps(result), flush=True)
    for n in files:
        os.remove(os.path.join(d, n))
    os.rmdir(d)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
