"""The tools' manual pages, made at build time by help2man from each tool's own --help, and
their bash completion: every option and command a tool's --help names is on its page, and the
completion offers exactly the tool's options and commands."""
import os
import re
import subprocess
import sys

import pytest

from zq_paths import BUILD, REPO

COMPLETION = os.path.join(REPO, "packaging", "completion")
COMMANDS = ("zq-sim", "zq-ubxdump", "zq-ubxconfig", "zq-demo")


def program(cmd):
    path = {"zq-sim": os.path.join(BUILD, "tools", "zq-sim"),
            "zq-ubxdump": os.path.join(BUILD, "tools", "ubxdump"),
            "zq-ubxconfig": os.path.join(REPO, "tools", "ubxconfig"),
            "zq-demo": os.path.join(REPO, "tools", "demo.sh")}[cmd]
    if not os.access(path, os.X_OK):
        pytest.skip("%s is not built (looked in %s)" % (cmd, path))
    return path


@pytest.fixture(scope="module")
def path_dir(tmp_path_factory):
    """A directory for PATH with each command under its name there, a link to this build's."""
    bindir = tmp_path_factory.mktemp("bin")
    for cmd in COMMANDS:
        try:
            os.symlink(program(cmd), bindir / cmd)
        except pytest.skip.Exception:
            pass
    return bindir


def run(path_dir, cmd, *args):
    if not (path_dir / cmd).exists():
        program(cmd)  # skips, naming what is missing
    env = dict(os.environ, ZQ_BUILD=BUILD, PATH="%s:%s" % (path_dir, os.environ["PATH"]))
    r = subprocess.run([cmd, *args], capture_output=True, text=True, timeout=30, env=env)
    assert r.returncode == 0, (cmd, args, r.stderr)
    return r.stdout


def options(text):
    """Every long option named in TEXT."""
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))


def own_options(help_text):
    """The options of the options section: those a command line may start with."""
    found = set()
    for line in help_text.splitlines():
        spec = re.match(r"^  (-\S.*?)(?: {2,}|$)", line)
        if spec:
            found |= options(spec.group(1))
    return found


def listed_commands(help_text):
    """ubxconfig's commands as argparse lists them under COMMAND."""
    return re.findall(r"^    ([a-z][a-z-]*)(?: |$)", help_text, re.M)


def page_text(cmd):
    page = os.path.join(BUILD, "man", cmd + ".1")
    if not os.path.exists(page):
        pytest.skip("no manual pages in %s (help2man is not installed)" % BUILD)
    with open(page) as f:
        return f.read()


def plain(roff):
    """The words of a roff page: escapes and font changes gone."""
    text = re.sub(r"\\f[BIRP]|\\f\(..|\\,|\\/|\\&", "", roff)
    return text.replace("\\-", "-").replace("\\(aq", "'")


@pytest.mark.parametrize("cmd", COMMANDS)
def test_page_is_the_help(path_dir, cmd):
    help_text = run(path_dir, cmd, "--help")
    roff = page_text(cmd)
    text = plain(roff)
    assert re.search(r"^\.SH NAME\n%s \\- \S" % re.escape(cmd), roff, re.M)
    assert re.search(r'^\.TH %s "1" "\w+ \d{4}" "zq_gps [\d.]+"' % cmd.upper(), roff, re.M)
    assert options(text) == options(help_text) and own_options(help_text) <= options(text)
    assert "usage: %s " % cmd in text
    # Only what the tool says, and nothing of the machine it was built on.
    assert REPO not in roff and BUILD not in roff


def test_ubxconfig_page_has_every_command_of_the_table(path_dir):
    help_text = run(path_dir, "zq-ubxconfig", "--help")
    commands = listed_commands(help_text)
    if os.path.join(REPO, "tools") not in sys.path:
        sys.path.insert(0, os.path.join(REPO, "tools"))
    from zq_ubxconfig.commands import COMMANDS as TABLE
    assert commands == [c.name for c in TABLE]
    page = plain(page_text("zq-ubxconfig"))
    assert re.findall(r"^\.TP\n([a-z][a-z-]*)$", page, re.M) == commands


def choices(*words):
    """The values the tool takes after WORDS, as it lists them when given another."""
    r = subprocess.run([os.path.join(REPO, "tools", "ubxconfig"), *words, "no-such-value"],
                       capture_output=True, text=True, timeout=30)
    listed = re.search(r"\(choose from ([^)]*)\)", r.stderr)
    assert r.returncode == 4 and listed, r.stderr
    return [w.strip("' ") for w in listed.group(1).split(",")]


def complete(path_dir, cmd, *words):
    """What bash offers for the last of WORDS on the command line `CMD WORDS...`."""
    script = ('source "$1"; shift; fn=$(complete -p "$1" | sed -n "s/.*-F \\([^ ]*\\) .*/\\1/p");'
              ' COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); "$fn"; printf "%s\\n" "${COMPREPLY[@]}"')
    env = dict(os.environ, ZQ_BUILD=BUILD, PATH="%s:%s" % (path_dir, os.environ["PATH"]))
    r = subprocess.run(["bash", "-c", script, "bash", os.path.join(COMPLETION, cmd), cmd, *words],
                       capture_output=True, text=True, timeout=60, env=env)
    assert r.returncode == 0 and not r.stderr, r.stderr
    return [w for w in r.stdout.splitlines() if w]


@pytest.mark.parametrize("cmd", COMMANDS)
def test_completion_offers_the_options_of_the_help(path_dir, cmd):
    r = subprocess.run(["bash", "-c", 'source "$1" && complete -p "$2"', "bash",
                        os.path.join(COMPLETION, cmd), cmd], capture_output=True, text=True)
    assert r.returncode == 0 and re.fullmatch(r"complete .*-F _zq_\w+ %s" % cmd, r.stdout.strip())
    help_text = run(path_dir, cmd, "--help")
    assert set(complete(path_dir, cmd, "--")) == own_options(help_text)


def test_ubxconfig_completion_commands_and_their_arguments(path_dir):
    help_text = run(path_dir, "zq-ubxconfig", "--help")
    assert complete(path_dir, "zq-ubxconfig", "") == listed_commands(help_text)
    assert complete(path_dir, "zq-ubxconfig", "--port", "/dev/null", "--baud", "9600", "se") == [
        "setup", "set"]
    for words in (("get", "--layer"), ("model",), ("power",), ("nmea",), ("--interface",)):
        assert complete(path_dir, "zq-ubxconfig", *words, "") == choices(*words), words
    # Keys come from the codec the command loads, in the case the key table writes them.
    assert complete(path_dir, "zq-ubxconfig", "get", "cfg-rate-me") == ["CFG-RATE-MEAS"]
    assert complete(path_dir, "zq-ubxconfig", "set", "CFG-RATE-NA") == ["CFG-RATE-NAV="]
