"""The command line: the parser, made from the table of commands, and main()."""
import argparse
import os
import sys
import textwrap

import zq_tool

from . import codec
from .commands import BY_NAME, COMMANDS, baud
from .errors import BAD_ARGUMENTS, ConfigError, DONE
from .policy import Receiver

DESCRIPTION = """\
Configures a u-blox receiver of generation 6 to 10 over its serial port; every change is
confirmed by the receiver's ACK.

The receiver's protocol version (MON-VER) decides how a change is sent: legacy configuration
messages (CFG-MSG, CFG-RATE, CFG-NAV5, CFG-RXM, CFG-PRT) below protocol version 27 (generations
6 to 8); configuration by key (CFG-VALSET, CFG-VALGET) from 27 on, with the legacy message as a
fall-back where a generation 9 receiver refuses a key; by key only from 34 on (generation 10,
which refuses the legacy messages but CFG-CFG and CFG-RST). The older commands (enable-pvt,
disable-pvt, nmea, rate) send the legacy message first and go by key when it is refused.
"""

EPILOG = """\
keys and values (get, set):
  A key is named as in the receiver's key table (CFG-RATE-MEAS, CFG-MSGOUT-UBX_NAV_PVT_USB,
  case does not matter) or given by its hex id (0x30210001). get prints one NAME=VALUE line per
  key, the value in the key's unit with the unit after a space (CFG-RATE-MEAS=0.2 s, 200 ms
  on the wire), bit fields in hex, switches as true/false, a key the table does not know
  under its hex id with its raw value. set takes the same form (CFG-RATE-MEAS=0.2, the unit
  may follow: 0.2s).

layers (set --layers, get --layer):
  ram (in use now, lost at power-off), bbr (battery-backed RAM), flash; get also reads the
  default layer. setup saves to bbr and flash, or to bbr alone when the receiver has no flash.

environment:
  ZQ_PORT    the port when --port is not given (otherwise /dev/ttyACM0)
  ZQ_ROOT    the deployment root that holds libs/ (also ROOT; otherwise the installed tree,
             or in the repository build/root, else build-demo/root; --version names it)
  ZQ_BUILD   a build directory, whose root/ is then the deployment root

exit status:
  0 done, 1 rejected (ACK-NAK), 2 no answer in time, 3 port cannot be opened, 4 bad arguments
"""


class Formatter(argparse.RawDescriptionHelpFormatter):
    """Help lines wrapped at blanks only: CFG-NAVSPG-DYNMODEL stays whole (help2man, which
    makes the manual page from --help, takes a hyphen at a line's end for a broken word)."""

    def _split_lines(self, text, width):
        return textwrap.wrap(" ".join(text.split()), width, break_on_hyphens=False)


class Parser(argparse.ArgumentParser):
    """Errors as one line under the name the tool was called by, exit status 4."""

    def error(self, message):
        name = self.prog.split()[0]
        print("%s: %s (see %s --help)" % (name, message, self.prog), file=sys.stderr)
        raise SystemExit(BAD_ARGUMENTS)


def parser(prog):
    p = Parser(prog=prog, description=DESCRIPTION, epilog=EPILOG, formatter_class=Formatter)
    p.add_argument("--version", action="version", version=zq_tool.version_text(prog),
                   help="the project's version and the deployment root the codec comes from")
    p.add_argument("--port", default=os.environ.get("ZQ_PORT", "/dev/ttyACM0"),
                   help="the receiver's serial device (default $ZQ_PORT, else /dev/ttyACM0)")
    p.add_argument("--baud", type=baud,
                   help="the line's speed on a UART (default 9600; USB ignores it)")
    p.add_argument("--timeout", type=float, default=3.0, help="seconds to wait for each answer "
                   "(default 3)")
    p.add_argument("--retries", type=int, default=1, help="sends again after a time-out "
                   "(default 1)")
    p.add_argument("--interface", choices=("auto", "usb", "uart1"), default="auto",
                   help="the receiver's port this line reaches, for configuration by key "
                   "(default auto: the receiver's CFG-PRT answer where it gives one, else the "
                   "device name, else uart1 when --baud is given, else usb)")
    sub = p.add_subparsers(dest="cmd", required=True, metavar="COMMAND")
    for command in COMMANDS:
        s = sub.add_parser(command.name, help=command.help, description=command.help,
                           formatter_class=Formatter)
        for arg in command.args:
            s.add_argument(*arg.names, **arg.options)
    return p


def main(argv=None, prog=None):
    prog = prog or zq_tool.prog()
    try:
        args = parser(prog).parse_args(argv)
    except SystemExit as ex:
        return DONE if ex.code == 0 else BAD_ARGUMENTS
    if args.timeout <= 0 or args.retries < 0:
        print("%s: --timeout must be above 0 and --retries at least 0" % prog, file=sys.stderr)
        return BAD_ARGUMENTS
    args.prog = prog
    command = BY_NAME[args.cmd]
    try:
        codec.load()
        if command.prepare is not None:
            command.prepare(args)
        rx = Receiver(args.port, args.baud, args.timeout, args.retries, args.interface)
        try:
            command.run(rx, args)
        finally:
            rx.close()
    except ConfigError as err:
        print("%s: %s" % (prog, err), file=sys.stderr)
        return err.status
    except KeyboardInterrupt:
        print("%s: interrupted" % prog, file=sys.stderr)
        return 130
    except Exception as e:  # a fault of this tool: still one line, never a traceback
        print("%s: unexpected failure: %s: %s" % (prog, type(e).__name__, e), file=sys.stderr)
        return 1
    return DONE
