"""The services zq-hub can run, one module each: NAME, add_options(parser) and
start(hub, args), which starts the service on the hub when its options ask for it and does
nothing otherwise."""
import importlib

# In the order they start.
SERVICE_MODULES = ("gpsd", "timefeed", "ntrip")


def services():
    found = []
    for name in SERVICE_MODULES:
        try:
            found.append(importlib.import_module("zq_hub_cli." + name))
        except ModuleNotFoundError as e:
            if e.name != "zq_hub_cli." + name:
                raise
    return found
