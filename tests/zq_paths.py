"""Where the tests find the repository, the build, the staged deployment root and the
recordings ($ZQ_BUILD and $ZQ_ROOT point them at another build, e.g. the sanitized one)."""
import os

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(BUILD, "root"))
# Byte-exact receiver recordings with an independent decoder's output beside them.
CAPTURES = os.path.join(REPO, "tests", "captures")
