"""What the Python surface fuzzer's programs run against (fuzz_surface.py): the extension
modules a target imports once in the parent, and the child's entry point that runs a program
on them; the import target's program builds stand-in `libs` and patches before it imports."""
import os
import sys
import tempfile

from fuzz_surface_program import FRAMES, ROOT, SAMPLES, Program

MODULES = {}  # the target's modules, imported by load_modules in the parent


def load_modules(target):
    """Imports what the target needs, in the parent (the children inherit it)."""
    if target == "import":
        return {}
    sys.path.insert(0, ROOT)
    import libs.pyubx2 as codec
    for raw in FRAMES:
        try:
            codec.UBXReader.parse(raw)
            SAMPLES.append(raw)
        except Exception:
            pass
    mods = {"codec": codec}
    if target in ("module", "hub"):
        import zq_gps
        mods["zq_gps"] = zq_gps
    if target == "hub":
        import zq_hub
        mods["zq_hub"] = zq_hub
        mods["hub_type"] = zq_hub.Hub
    return mods


def execute(program, ext_dir=None):
    """Runs PROGRAM in this process. Returns (outcomes, stuck thread names)."""
    mods = dict(MODULES)
    if program["target"] == "import":
        p = run_import(program, mods, ext_dir)
    else:
        p = Program(mods, program)
        zq = mods.get("zq_gps")
        if zq is not None:
            # The environment: every module name the receiver reaches for, as drawn.
            for name, value in program.get("env", {}).items():
                try:
                    setattr(zq, name, p.build(value))
                except BaseException:
                    pass
        if "hub_type" in mods:
            p.start_hub_lifetime()
        p.run(program["actions"])
    stuck = p.finish()
    return p.outcomes, stuck


# ---------------------------------------------------------------------------------------------
# The import target
# ---------------------------------------------------------------------------------------------

IMPORT_HELPERS = '''
class _H:
    def __getattr__(self, n): raise KeyboardInterrupt
    def __str__(self): raise SystemExit(5)
    def __eq__(self, o): raise RuntimeError("eq")
    __hash__ = None
class _L:
    def info(self, a): pass
    debug = error = info
'''


def run_import(program, mods, ext_dir):
    """The import target's program: stand-in libs in a fresh directory, patches, import."""
    work = tempfile.mkdtemp(prefix="zq-fuzz-")
    os.chdir(work)
    for rel, text in program["files"].items():
        if text is None:
            continue
        path = os.path.join(work, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(IMPORT_HELPERS + text)
    sys.path[:0] = [ext_dir, work]
    root = program.get("root_path")
    os.environ.pop("ROOT_PATH", None)
    if root is not None:
        try:
            os.environ["ROOT_PATH"] = root
        except (ValueError, UnicodeError):
            pass
    p = Program(mods, program)
    import builtins
    import datetime
    targets = {"os": os, "os.path": os.path, "sys": sys, "datetime": datetime,
               "builtins": builtins}
    for where, name, value in program.get("patches", []):
        try:
            if where == "datetime.date":  # a date class with one method replaced
                datetime.date = type("Day", (datetime.date,), {name: p.build(value)})
            else:
                setattr(targets[where], name, p.build(value))
        except BaseException:
            pass
    try:
        import zq_gps
        p.outcomes.add("import:ok")
        mods["zq_gps"] = zq_gps
        mods["codec"] = sys.modules.get("libs.pyubx2")
    except BaseException as e:
        p.outcomes.add("import:%s" % type(e).__name__)
        return p
    p.run(program.get("actions", []))
    return p
