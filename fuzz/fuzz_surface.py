#!/usr/bin/python3
"""Fuzzer of the Python surface of zq_gps and libs.pyubx2, driven by Hypothesis.

Hypothesis draws programs: lists of actions on the two extension modules (calls of every
constructor, method and attribute with arbitrary positional and keyword arguments, attributes
set, replaced and deleted, module names replaced by hostile stand-ins, methods of a receiver
run from several threads at once). Every argument is built from a small value language: ints
of any size, nan and inf, bytes-likes, text with lone surrogates and NULs, hundreds of
keywords, objects whose dunders raise (Exception, KeyboardInterrupt, SystemExit, ...) or lie,
streams whose read returns the wrong type or too much or nothing, and callables that call back
into the module. Each program runs in a forked child; a Python exception is an ordinary
outcome, a signal, a sanitizer report (non-zero exit), a hang or a thread that never ends is
a finding. Hypothesis shrinks a finding to a minimal program, saved as JSON.

Targets:
  module  zq_gps: the receiver, zq_error and the module's names (with the real codec)
  hub     the module target plus zq_hub: attach, every Hub method from one thread and from
          several at once, callbacks that call back, hubs closed while programs wait
  codec   libs.pyubx2: UBXReader over hostile streams, UBXMessage, parsed messages
  import  import zq_gps with broken `libs` stand-ins, odd ROOT_PATH values and patched
          os / sys / datetime, then a few calls on what was imported

Usage:
  fuzz_surface.py run TARGET SECONDS [--out DIR]   search; findings go to DIR (default
                                                   build-fuzz/surface), exit status 1 if any
  fuzz_surface.py exec FILE                        run one saved program in this process
  fuzz_surface.py replay FILE...                   run saved programs, each in a new process
Environment: ZQ_ROOT (staged root holding zq_gps and libs/, default build/root).

This file is the search and the command line; a program and its interpreter are in
fuzz_surface_program.py, what it runs against in fuzz_surface_targets.py, and how Hypothesis
draws programs in fuzz_surface_strategies.py."""
import glob
import hashlib
import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import traceback

from fuzz_surface_program import HERE, REPO, ROOT, SAMPLES, _os_exit, _os_write
from fuzz_surface_targets import MODULES, execute, load_modules

CHILD_TIMEOUT = 120.0  # seconds for one program, start to end; generous for a loaded machine


# ---------------------------------------------------------------------------------------------
# The parent: one forked child per program
# ---------------------------------------------------------------------------------------------

class Finding(Exception):
    pass


def run_forked(program, ext_dir):
    """Runs PROGRAM in a child. Returns (failure text or None, outcomes)."""
    log = tempfile.TemporaryFile()
    rfd, wfd = os.pipe()
    pid = os.fork()
    if pid == 0:
        code = 0
        try:
            os.close(rfd)
            os.dup2(log.fileno(), 1)
            os.dup2(log.fileno(), 2)
            signal.signal(signal.SIGINT, signal.SIG_DFL)
            outcomes, stuck = execute(program, ext_dir)
            report = {"outcomes": sorted(outcomes), "stuck": stuck}
            data = json.dumps(report).encode()
            while data:
                data = data[_os_write(wfd, data):]
        except BaseException:
            traceback.print_exc()
            code = 3
        _os_exit(code)
    os.close(wfd)
    pidfd = os.pidfd_open(pid)
    ready, _, _ = select.select([pidfd], [], [], CHILD_TIMEOUT)
    failure = None
    if not ready:
        os.kill(pid, signal.SIGKILL)
        failure = "hang: no end after %.0f s" % CHILD_TIMEOUT
    _, status = os.waitpid(pid, 0)
    os.close(pidfd)
    with os.fdopen(rfd, "rb") as r:
        data = r.read()
    report = json.loads(data) if data else {"outcomes": [], "stuck": 0}
    if failure is None:
        if os.WIFSIGNALED(status):
            failure = "signal %d" % os.WTERMSIG(status)
        elif os.WEXITSTATUS(status) != 0:
            failure = "exit status %d" % os.WEXITSTATUS(status)
        elif report["stuck"]:
            failure = "%d threads never ended" % report["stuck"]
    if failure:
        log.seek(0)
        tail = log.read()[-4000:].decode("utf-8", "replace")
        failure += "\n" + tail
    log.close()
    return failure, set(report["outcomes"])


def extension_dir():
    """A directory holding only the extension, for the import target's hosts."""
    (ext,) = glob.glob(os.path.join(ROOT, "zq_gps*.so"))
    d = tempfile.mkdtemp(prefix="zq-fuzz-ext-")
    os.symlink(ext, os.path.join(d, os.path.basename(ext)))
    return d


def search(target, seconds, out):
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis.database import DirectoryBasedExampleDatabase
    from hypothesis.errors import Flaky
    import fuzz_surface_strategies as strategies

    MODULES.update(load_modules(target))
    ext_dir = extension_dir()
    work = tempfile.mkdtemp(prefix="zq-fuzz-logs-")
    os.environ["ROOT_PATH"] = work
    os.chdir(work)
    os.makedirs(out, exist_ok=True)
    stats = {"executions": 0, "outcomes": set(), "findings": []}
    strategy = strategies.program(target, SAMPLES)

    @settings(max_examples=50, deadline=None, database=DirectoryBasedExampleDatabase(
        os.path.join(out, "hypothesis-db-" + target)),
        suppress_health_check=list(HealthCheck), report_multiple_bugs=False,
        phases=[Phase.reuse, Phase.generate, Phase.shrink], print_blob=False)
    @given(strategy)
    def one(program):
        if time.monotonic() > hard_end:
            return  # out of time while shrinking: the smallest failure so far is kept
        stats["executions"] += 1
        failure, outcomes = run_forked(program, ext_dir)
        stats["outcomes"] |= outcomes
        if failure:
            stats["failure"] = (program, failure)
            raise Finding(failure)

    end = time.monotonic() + seconds
    hard_end = end + max(120.0, seconds)  # shrinking a finding may take as long again
    rounds = 0
    while time.monotonic() < end:
        rounds += 1
        stats["failure"] = None
        try:
            one()
        except (Finding, Flaky):
            if not stats["failure"]:
                raise
            program, failure = stats["failure"]
            text = json.dumps(program, sort_keys=True)
            name = "%s-%s.json" % (target, hashlib.sha1(text.encode()).hexdigest()[:12])
            with open(os.path.join(out, name), "w") as fh:
                fh.write(text + "\n")
            stats["findings"].append((name, failure))
            print("fuzz_surface: FINDING %s: %s" % (name, failure[:2000]), flush=True)
            break
    with open(os.path.join(out, "outcomes-%s.txt" % target), "w") as fh:
        fh.write("".join(o + "\n" for o in sorted(stats["outcomes"])))
    print("fuzz_surface %s: %d executions in %.0f s (%d rounds), %d distinct outcomes, "
          "%d findings" % (target, stats["executions"], seconds, rounds,
                           len(stats["outcomes"]), len(stats["findings"])), flush=True)
    return 1 if stats["findings"] else 0


# ---------------------------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------------------------

def main(argv):
    if len(argv) >= 3 and argv[0] == "run":
        out = os.path.join(REPO, "build-fuzz", "surface")
        if "--out" in argv:
            out = argv[argv.index("--out") + 1]
        sys.path.insert(0, HERE)
        return search(argv[1], float(argv[2]), os.path.abspath(out))
    if len(argv) == 2 and argv[0] == "exec":
        with open(argv[1]) as f:
            program = json.load(f)
        MODULES.update(load_modules(program["target"]))
        ext_dir = extension_dir() if program["target"] == "import" else None
        work = tempfile.mkdtemp(prefix="zq-fuzz-logs-")
        os.environ["ROOT_PATH"] = work
        os.chdir(work)
        _, stuck = execute(program, ext_dir)
        if stuck:
            print("%d threads never ended" % stuck, flush=True)
            _os_exit(4)
        print("fuzz_surface: program ended", flush=True)
        return 0
    if len(argv) >= 2 and argv[0] == "replay":
        status = 0
        for path in argv[1:]:
            proc = subprocess.run([sys.executable, os.path.abspath(__file__), "exec", path],
                                  capture_output=True, text=True, timeout=120)
            ok = proc.returncode == 0 and "fuzz_surface: program ended" in proc.stdout
            print("%s %s" % ("ok  " if ok else "FAIL", path))
            if not ok:
                status = 1
                print(proc.stdout[-2000:] + proc.stderr[-4000:])
        return status
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
