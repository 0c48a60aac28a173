"""Fixtures of the receiver-tool tests."""
from zqsim_harness import sim_factory  # noqa: F401
