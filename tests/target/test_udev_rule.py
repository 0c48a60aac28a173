"""The package's udev rule, run on described devices by a small evaluator of the rule syntax it
uses (match keys, assignments, GOTO/LABEL), and checked by udevadm where it can verify rules."""
import fnmatch
import os
import re
import shutil
import subprocess

import pytest

from zq_paths import REPO

RULES = os.path.join(REPO, "packaging", "udev", "70-zq-gps.rules")
KEY = re.compile(r'\s*([A-Z_]+)(?:\{([^}]*)\})?\s*(==|!=|\+=|=)\s*"((?:[^"\\]|\\.)*)"\s*(?:,|$)')
IMPORT_BUILTINS = {"usb_id", "path_id"}


def parse(text):
    rules = []
    for line in text.replace("\\\n", "").splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        keys, pos = [], 0
        while pos < len(line):
            m = KEY.match(line, pos)
            assert m, "cannot read %r at %r" % (line, line[pos:])
            keys.append(m.groups())
            pos = m.end()
        rules.append(keys)
    return rules


def matches(pattern, value):
    return any(fnmatch.fnmatchcase(value, alt) for alt in pattern.split("|"))


def evaluate(rules, dev):
    """Runs RULES on DEV: its own properties (ACTION, SUBSYSTEM, KERNEL), ENV (what the
    builtins and earlier rules set) and PARENTS (subsystem and attributes of each ancestor).
    FILES (the paths a TEST finds). Returns the GROUP, MODE, SYMLINKs and TAGs assigned, and
    the units it asks systemd to start (WANTS, from ENV{SYSTEMD_WANTS})."""
    env = dict(dev.get("ENV", {}))
    out = {"GROUP": None, "MODE": None, "SYMLINK": [], "TAG": [], "WANTS": []}
    labels = {keys[0][3]: i for i, keys in enumerate(rules) if keys[0][0] == "LABEL"}
    i = 0
    while i < len(rules):
        keys, goto = rules[i], None
        # A rule's match keys all hold, or none of its assignments happen. ATTRS and
        # SUBSYSTEMS match on one and the same ancestor.
        own = [k for k in keys if k[2] in ("==", "!=") and k[0] not in ("ATTRS", "SUBSYSTEMS")]
        up = [k for k in keys if k[2] in ("==", "!=") and k[0] in ("ATTRS", "SUBSYSTEMS")]

        def holds(k, value):
            if k[0] == "TEST":
                return (k[3] in dev.get("FILES", ())) == (k[2] == "==")
            return matches(k[3], value or "") == (k[2] == "==")

        ok = all(holds(k, env.get(k[1]) if k[0] == "ENV" else dev.get(k[0])) for k in own)
        if ok and up:
            ok = any(all(holds(k, parent.get("SUBSYSTEM") if k[0] == "SUBSYSTEMS"
                               else parent.get("ATTRS", {}).get(k[1])) for k in up)
                     for parent in dev.get("PARENTS", []))
        if ok:
            for name, attr, op, value in keys:
                if op in ("==", "!="):
                    continue
                value = re.sub(r"\$env\{(\w+)\}", lambda m: env.get(m.group(1), ""), value)
                value = value.replace("%k", dev.get("KERNEL", ""))
                if name == "GOTO":
                    goto = value
                elif name == "LABEL":
                    pass
                elif name == "IMPORT":
                    assert attr == "builtin" and value in IMPORT_BUILTINS, (attr, value)
                elif name == "SYMLINK":
                    out["SYMLINK"] = (out["SYMLINK"] if op == "+=" else []) + value.split()
                elif name in ("GROUP", "MODE"):
                    out[name] = value
                elif name == "TAG":
                    out["TAG"] = (out["TAG"] if op == "+=" else []) + [value]
                elif name == "ENV":
                    env[attr] = (env.get(attr, "") + " " + value).strip() if op == "+=" else value
                else:
                    raise AssertionError("no evaluation of %s" % name)
        i = labels[goto] + 1 if goto else i + 1
    out["WANTS"] = env.get("SYSTEMD_WANTS", "").split()
    return out


def ublox(**env):
    return {"ACTION": "add", "SUBSYSTEM": "tty", "KERNEL": "ttyACM1", "ENV": env,
            "PARENTS": [{"SUBSYSTEM": "usb", "ATTRS": {"bInterfaceNumber": "00"}},
                        {"SUBSYSTEM": "usb", "ATTRS": {"idVendor": "1546", "idProduct": "01a8"}}]}


@pytest.fixture(scope="module")
def rules():
    with open(RULES) as f:
        return parse(f.read())


def test_receiver_with_a_serial_number_gets_its_link_the_first_link_and_dialout(rules):
    out = evaluate(rules, ublox(ID_SERIAL_SHORT="F9P0012", ID_PATH_TAG="pci-0000_00_14_0-usb-0_2_1_0"))
    assert out == {"GROUP": "dialout", "MODE": "0660", "SYMLINK": ["zq-gps/F9P0012", "zq-gps0"],
                   "TAG": ["systemd"], "WANTS": []}


def test_receiver_without_a_serial_number_is_named_by_its_usb_port(rules):
    out = evaluate(rules, ublox(ID_PATH_TAG="pci-0000_00_14_0-usb-0_2_1_0"))
    assert out["SYMLINK"] == ["zq-gps/path-pci-0000_00_14_0-usb-0_2_1_0", "zq-gps0"]
    assert (out["GROUP"], out["MODE"]) == ("dialout", "0660")


def test_receiver_behind_a_usb_serial_converter_of_its_own_is_named_too(rules):
    dev = ublox(ID_SERIAL_SHORT="7A")
    dev["KERNEL"] = "ttyUSB0"
    assert evaluate(rules, dev)["SYMLINK"] == ["zq-gps/7A", "zq-gps0"]


@pytest.mark.parametrize("change", [
    {"ACTION": "remove"},
    {"SUBSYSTEM": "usb"},                                   # the USB device, not its tty
    {"KERNEL": "ttyS0"},
    {"PARENTS": [{"SUBSYSTEM": "usb", "ATTRS": {"idVendor": "0403"}}]},   # another vendor
    {"PARENTS": [{"SUBSYSTEM": "pci", "ATTRS": {"idVendor": "1546"}}]},   # not on USB
])
def test_other_devices_and_events_are_left_alone(rules, change):
    dev = ublox(ID_SERIAL_SHORT="F9P0012")
    dev.update(change)
    dev["FILES"] = {"/etc/zq-gps/hub-hotplug"}
    assert evaluate(rules, dev) == {"GROUP": None, "MODE": None, "SYMLINK": [], "TAG": [],
                                    "WANTS": []}


def test_the_hub_starts_at_plug_only_once_the_administrator_has_asked_for_it(rules):
    # Without the flag file nothing is started; with it, zq-hub on the device just plugged in
    # (the unit's instance is the kernel's name for it).
    assert evaluate(rules, ublox(ID_SERIAL_SHORT="F9P0012"))["WANTS"] == []
    dev = ublox(ID_SERIAL_SHORT="F9P0012")
    dev["FILES"] = {"/etc/zq-gps/hub-hotplug"}
    out = evaluate(rules, dev)
    assert out["WANTS"] == ["zq-hub@ttyACM1.service"] and out["TAG"] == ["systemd"]
    with open(os.path.join(REPO, "packaging", "systemd", "zq-hub@.service")) as f:
        unit = f.read()
    assert "ExecStart=/usr/bin/zq-hub --port /dev/%I " in unit and "BindsTo=dev-%i.device" in unit


def test_evaluator_reads_every_line_of_the_rule(rules):
    # Each non-comment line became a rule: nothing in the file was skipped unread.
    with open(RULES) as f:
        lines = [ln for ln in f.read().splitlines() if ln.strip() and not ln.lstrip().startswith("#")]
    assert len(rules) == len(lines)
    with pytest.raises(AssertionError):
        parse('KERNEL=="ttyACM*" GOTO="x"')


def udevadm_verifies():
    if not shutil.which("udevadm"):
        return False
    return subprocess.run(["udevadm", "verify", "--help"], capture_output=True).returncode == 0


@pytest.mark.skipif(not udevadm_verifies(), reason="this udevadm cannot verify rules")
def test_udevadm_verifies_the_rule():
    r = subprocess.run(["udevadm", "verify", "--resolve-names=never", RULES],
                       capture_output=True, text=True, timeout=60)
    assert r.returncode == 0, r.stdout + r.stderr
