"""Where the tests find the repository, the staged deployment root and the recordings."""
import os

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(REPO, "build", "root"))
BUILD = os.environ.get("ZQ_BUILD", os.path.join(REPO, "build"))
# Byte-exact receiver recordings with an independent decoder's output beside them.
CAPTURES = os.path.join(REPO, "tests", "captures")
