"""Puts the staged deployment root (build/root, or $ZQ_ROOT) first on the import path."""
import os
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOT = os.environ.get("ZQ_ROOT", os.path.join(REPO, "build", "root"))
# Byte-exact receiver recordings with an independent decoder's output beside them.
CAPTURES = os.path.join(REPO, "tests", "captures")

if ROOT not in sys.path:
    sys.path.insert(0, ROOT)
