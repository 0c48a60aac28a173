"""What the Python tools here share: the deployment root they load the codec from, the
project's version, and the name a tool was called by.

A tool finds this module beside its own real path, also when it is called through a link on
PATH: tools/zq_tool.py in the repository, /opt/zq_gps/tools/zq_tool.py in an installed tree.
The deployment root is, in this order:

  $ZQ_ROOT (or $ROOT)   a deployment root given outright
  $ZQ_BUILD             a build directory: its root/
  the installed tree    this directory's parent, when the module zq_gps is there
  build/root            the repository's build (make, make test)
  build-demo/root       the repository's demo build (make demo)

An explicit root is used as it is; of the two builds, the first that holds the codec. The
version is the one CMake's project() gave the build of that root: the file VERSION in the
build's tools directory (build/tools/VERSION, /opt/zq_gps/tools/VERSION).
"""
import glob
import os
import sys

HERE = os.path.dirname(os.path.realpath(__file__))
PARENT = os.path.dirname(HERE)
PROJECT = "zq_gps"
BUILDS = ("build", "build-demo")


def prog(argv0=None):
    """The name the tool was called by: zq-ubxconfig on PATH, ubxconfig in the tree."""
    if argv0 is None:
        argv0 = sys.argv[0] if sys.argv and sys.argv[0] else ""
    return os.path.basename(argv0) or "zq-tool"


class Place:
    """A deployment root, the tools directory built with it, and how it was found."""

    def __init__(self, root, tools, how):
        self.root, self.tools, self.how = root, tools, how

    def has_codec(self):
        return bool(glob.glob(os.path.join(glob.escape(self.root), "libs", "pyubx2*.so")))

    def version(self):
        """The project version of this build, or None when it has none."""
        try:
            with open(os.path.join(self.tools, "VERSION"), encoding="ascii") as f:
                text = f.read(64).strip()
        except (OSError, ValueError):
            return None
        return text or None

    def __str__(self):
        return "%s (%s)" % (self.root, self.how)


def places(environ=None):
    """Where the deployment root may be, in order of preference."""
    env = os.environ if environ is None else environ
    given = env.get("ZQ_ROOT") or env.get("ROOT")
    if given:
        root = os.path.abspath(given)
        # An installed tree keeps its tools inside, a build beside its root.
        tools = [os.path.join(root, "tools"), os.path.join(os.path.dirname(root), "tools")]
        found = [t for t in tools if os.path.isfile(os.path.join(t, "VERSION"))]
        how = "$ZQ_ROOT" if env.get("ZQ_ROOT") else "$ROOT"
        return [Place(root, (found or tools)[0], how)]
    build = env.get("ZQ_BUILD")
    if build:
        build = os.path.abspath(build)
        return [Place(os.path.join(build, "root"), os.path.join(build, "tools"), "$ZQ_BUILD")]
    if glob.glob(os.path.join(glob.escape(PARENT), PROJECT + "*.so")):
        return [Place(PARENT, HERE, "the installed tree")]
    return [Place(os.path.join(PARENT, b, "root"), os.path.join(PARENT, b, "tools"), b + "/root")
            for b in BUILDS]


def locate(environ=None):
    """The place whose codec a tool loads: the first that holds one, else the first looked at
    (whose missing codec the tool then reports)."""
    found = places(environ)
    return next((p for p in found if p.has_codec()), found[0])


def not_found(environ=None):
    """Why no codec can be loaded, in one line, naming every place looked at."""
    found = places(environ)
    if len(found) == 1:
        return "no libs/pyubx2 in %s" % found[0]
    return "no libs/pyubx2 in %s: run make, or make demo" % " or ".join(
        os.path.relpath(p.root, PARENT) for p in found)


def load_codec(place):
    """Puts PLACE's root first on the import path and imports the codec (ImportError when it
    cannot); returns the module libs.pyubx2."""
    if place.root not in sys.path:
        sys.path.insert(0, place.root)
    from libs import pyubx2
    return pyubx2


def version_text(name, place=None):
    """What --version prints: the project's version (the first line, as help2man reads it),
    then the deployment root the tool uses."""
    place = locate() if place is None else place
    return "%s (%s) %s\ndeployment root: %s (%s%s)" % (
        name, PROJECT, place.version() or "unknown", place.root, place.how,
        "" if place.has_codec() else "; no codec there")


if __name__ == "__main__":
    # For the shell scripts here: `zq_tool.py version NAME` prints --version's text.
    if len(sys.argv) == 3 and sys.argv[1] == "version":
        print(version_text(sys.argv[2]))
        sys.exit(0)
    print("usage: zq_tool.py version NAME", file=sys.stderr)
    sys.exit(2)
