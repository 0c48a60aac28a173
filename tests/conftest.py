"""Puts the staged deployment root (build/root, or $ZQ_ROOT) first on the import path."""
import os
import sys

from zq_paths import CAPTURES, REPO, ROOT  # noqa: F401

if ROOT not in sys.path:
    sys.path.insert(0, ROOT)


import importlib  # noqa: E402

import pytest  # noqa: E402


@pytest.fixture(scope="session")
def zq(tmp_path_factory):
    """The zq_gps module imported in this process, its logs under a temporary ROOT_PATH."""
    root = tmp_path_factory.mktemp("zq_root")
    saved = os.environ.get("ROOT_PATH")
    os.environ["ROOT_PATH"] = str(root)
    try:
        return importlib.import_module("zq_gps")
    finally:
        if saved is None:
            del os.environ["ROOT_PATH"]
        else:
            os.environ["ROOT_PATH"] = saved
