"""The commands: one table (name, help, arguments, handler) from which the command line's
parser and its dispatch are both made. A handler takes the Receiver and the parsed arguments;
a command's `prepare` checks what the arguments alone decide, before the port is opened."""
import argparse
import time

from . import codec
from .errors import ConfigError, NO_ANSWER, Rejected
from .keys import POLL_LAYERS, Key, layer_mask, layer_names, parse_values, poll_layer, \
    describe, valset_frame
from .policy import INTERFACES, KEY, KEY_THEN_LEGACY, LEGACY_THEN_KEY, WAYS

CFG = 0x06
CFG_PRT, CFG_MSG, CFG_RATE, CFG_RXM, CFG_NAV5 = 0x00, 0x01, 0x08, 0x11, 0x24
CFG_VALSET = 0x8A
NMEA_IDS = {"GGA": 0x00, "GLL": 0x01, "GSA": 0x02, "GSV": 0x03, "RMC": 0x04, "VTG": 0x05}
BAUDS = (4800, 9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600)
MODELS = {"portable": 0, "stationary": 2, "pedestrian": 3, "automotive": 4, "sea": 5,
          "airborne1g": 6, "airborne2g": 7, "airborne4g": 8, "wrist": 9}
POWER = {"full": (0, 0, "continuous, full power"), "save": (1, 1, "power save")}
# The whole fields of a UART's CFG-PRT block (the catalogue's names): a speed change sends the
# receiver's own block back with baudRate alone changed.
PRT_UART_FIELDS = ("portID", "reserved1", "txReady", "mode", "baudRate", "inProtoMask",
                   "outProtoMask", "flags", "reserved2")


# -- argument types ------------------------------------------------------------------------

def byte(text):
    try:
        value = int(text, 16)
    except ValueError:
        raise argparse.ArgumentTypeError("%s is not a hex byte" % text) from None
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError("%s is not a byte" % text)
    return value


def hz(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%s is not a rate in Hz" % text) from None
    # measRate is a U2 of milliseconds
    if not 1000.0 / 65535 <= value <= 25:
        raise argparse.ArgumentTypeError("rate must be at least 0.0153 Hz (65535 ms) and at "
                                         "most 25 Hz")
    return value


def every(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%s is not a whole number" % text) from None
    if not 0 <= value <= 255:
        raise argparse.ArgumentTypeError("a rate is 0 to 255 (per solution)")
    return value


def baud(text):
    try:
        value = int(text)
    except ValueError:
        value = None
    if value not in BAUDS:
        raise argparse.ArgumentTypeError("baud rate must be one of %s" % ", ".join(map(str, BAUDS)))
    return value


# -- what several commands do --------------------------------------------------------------

def pvt(rx, method, rate):
    # Only a receiver known to take legacy messages is asked which port this is.
    return rx.step(method, lambda: {rx.pvt_key(method == KEY_THEN_LEGACY): rate},
                   (CFG_MSG, "CFG-MSG 01 07 rate %d" % rate,
                    dict(msgClass=0x01, msgID=0x07, rate=rate)))


def meas_rate(rx, method, rate_hz):
    meas = int(round(1000.0 / rate_hz))
    keys = {Key("CFG-RATE-MEAS"): meas, Key("CFG-RATE-NAV"): 1, Key("CFG-RATE-TIMEREF"): 1}
    way = rx.step(method, lambda: keys, (CFG_RATE, "CFG-RATE %g Hz (measRate %d ms)" % (
        rate_hz, meas), dict(measRate=meas, navRate=1, timeRef=1)))
    return way, keys


def uart1_block(msg):
    return msg.length == 20 and getattr(msg, "portID", None) == 1


def poll_uart1(rx, what):
    msg = rx.poll(CFG, CFG_PRT, what, uart1_block, portID=1)
    if msg is None:
        raise Rejected("the receiver rejected the CFG-PRT poll of UART1 (ACK-NAK)")
    return msg


# -- the handlers --------------------------------------------------------------------------

def version(rx, _args):
    ident = rx.identity()
    print("software: %s" % ident.sw)
    print("hardware: %s" % ident.hw)
    print("protocol version: %s" % (ident.protver_text or "unknown (no PROTVER extension)"))
    print("generation: %s (%s)" % (ident.generation or "unknown", ident.describe_method()))
    for ext in ident.extensions:
        print("extension: %s" % ext)
    return ident


def sky(rx, ident, method):
    """NAV-SAT (NAV-SVINFO below protocol 15, which has no NAV-SAT) and NAV-DOP on at every
    solution on this port. Returns the ways taken, the keys they set and the name of the
    satellite message."""
    sat_id, sat_name = (0x30, "NAV-SVINFO") if ident.protver is not None and \
        ident.protver < 15 else (0x35, "NAV-SAT")
    keys = {}

    def by_key(name):
        # Only a receiver known to take legacy messages is asked which port this is.
        iface = INTERFACES[rx.interface(method == KEY_THEN_LEGACY)]
        key = Key("CFG-MSGOUT-UBX_NAV_%s_%s" % (name, iface))
        keys[key] = 1
        return {key: 1}
    ways = [rx.step(method, lambda: by_key("SAT"),
                    (CFG_MSG, "CFG-MSG 01 %02X rate 1 (%s)" % (sat_id, sat_name),
                     dict(msgClass=0x01, msgID=sat_id, rate=1))),
            rx.step(method, lambda: by_key("DOP"),
                    (CFG_MSG, "CFG-MSG 01 04 rate 1 (NAV-DOP)",
                     dict(msgClass=0x01, msgID=0x04, rate=1)))]
    return ways, keys, sat_name


def setup(rx, args):
    ident = version(rx, args)
    method = ident.method
    pvt_way = pvt(rx, method, 1)
    rate_way, rate_keys = meas_rate(rx, method, args.hz)
    ways, sky_keys, sat_name = [pvt_way, rate_way], {}, None
    if args.sky:
        sky_ways, sky_keys, sat_name = sky(rx, ident, method)
        ways += sky_ways
    if all(w == KEY for w in ways):
        rx.save({rx.pvt_key(): 1, **rate_keys, **sky_keys})
    else:
        rx.save()
    print("NAV-PVT at %g Hz%s, saved" % (args.hz, ", %s and NAV-DOP on" % sat_name
                                          if sat_name else ""))


def prepare_get(args):
    args.keys = [Key(k) for k in args.keys]


def get(rx, args):
    got = rx.valget(args.keys, poll_layer(args.layer))
    for k in args.keys:
        if k in got:
            print(k.format(got[k]))
    missing = [k.name for k in args.keys if k not in got]
    if missing:
        raise Rejected("no value in the %s layer for %s" % (args.layer, ", ".join(missing)))


def prepare_set(args):
    args.layers = layer_mask(args.layers)
    args.values = parse_values(args.values)
    valset_frame(args.values, args.layers)  # a value out of its type's range ends here


def set_values(rx, args):
    values, layers = args.values, args.layers
    what = "CFG-VALSET %s %s" % (layer_names(layers), describe(values))
    try:
        rx.confirm(valset_frame(values, layers), CFG_VALSET, what)
    except Rejected as e:
        raise Rejected("%s: a key it does not have, a value it does not take%s" % (
            e, ", or no flash (try --layers ram,bbr)" if layers & codec.ubx.SET_LAYER_FLASH
            else ""))


def baud_rate(rx, args):
    """Switches UART1 to RATE, reopens the port at RATE and polls the speed back there."""
    rate = args.rate
    ways = WAYS[rx.identity().method]
    key = Key("CFG-UART1-BAUDRATE")
    for n, way in enumerate(ways):
        if way == KEY:
            frame, msg_id = valset_frame({key: rate}, codec.ubx.SET_LAYER_RAM), CFG_VALSET
            what = "CFG-VALSET RAM %s" % key.format(rate)
        else:
            block = poll_uart1(rx, "CFG-PRT poll of UART1")
            fields = {name: getattr(block, name) for name in PRT_UART_FIELDS}
            fields["baudRate"] = rate
            frame = codec.ubx.UBXMessage(CFG, CFG_PRT, codec.ubx.SET, **fields).serialize()
            msg_id, what = CFG_PRT, "CFG-PRT UART1 baudRate %d" % rate
        # Sent once: the receiver may switch before its ACK, which then comes at the new
        # speed; a repeat at the old speed would reach it as garbage.
        rx.send(frame)
        verdict = rx.wait(rx.ack_of(msg_id), time.monotonic() + rx.timeout)
        if verdict == "ACK-NAK":
            if n == len(ways) - 1:
                raise Rejected("the receiver rejected %s (ACK-NAK)" % what)
            print("rejected %s (ACK-NAK); the legacy message instead" % what)
            continue
        print("%s: %s" % (what, "acknowledged" if verdict else
                          "no acknowledgement at %d baud, checking at %d" % (rx.baud, rate)))
        break
    old = rx.baud
    rx.reopen(rate)
    print("port reopened at %d baud" % rate)
    try:
        if way == KEY:
            now = rx.valget([key], codec.ubx.POLL_LAYER_RAM).get(key)
            proof = "CFG-VALGET"
        else:
            now = poll_uart1(rx, "CFG-PRT poll of UART1 at %d baud" % rate).baudRate
            proof = "CFG-PRT poll"
    except ConfigError as e:
        if e.status == NO_ANSWER:
            raise ConfigError(NO_ANSWER, "%s; the receiver may still be at %d baud" % (e, old))
        raise
    if now != rate:
        raise Rejected("the receiver answers at %d baud but reports UART1 at %s" % (
            rate, now if now is not None else "no speed"))
    print("UART1 at %d baud: %s answered at that speed (not saved: `%s --baud %d save` keeps "
          "it)" % (rate, proof, args.prog, rate))


def model(rx, args):
    n = MODELS[args.name]
    # mask bit 0: only dynModel is applied, every other field is left as it is
    rx.step(rx.identity().method, lambda: {Key("CFG-NAVSPG-DYNMODEL"): n},
            (CFG_NAV5, "CFG-NAV5 dynModel %d (%s)" % (n, args.name),
             dict(mask=0x0001, dynModel=n)))


def power(rx, args):
    key_value, lp_mode, text = POWER[args.mode]
    rx.step(rx.identity().method, lambda: {Key("CFG-PM-OPERATEMODE"): key_value},
            (CFG_RXM, "CFG-RXM lpMode %d (%s)" % (lp_mode, text),
             dict(reserved1=8, lpMode=lp_mode)))


def nmea(rx, args):
    on = args.state == "on"
    method = LEGACY_THEN_KEY
    for name, mid in NMEA_IDS.items():
        def by_key(name=name):
            key = "CFG-MSGOUT-NMEA_ID_%s_%s" % (name, INTERFACES[rx.interface()])
            return {Key(key): 1 if on else 0}
        way = rx.step(method, by_key, (CFG_MSG, "CFG-MSG F0 %02X rate %d" % (mid, on),
                                       dict(msgClass=0xF0, msgID=mid, rate=int(on))))
        method = way  # a receiver that refused one legacy message refuses the others


# RTCM 3 input on a port: CFG-PRT inProtoMask bit 5, or the port's RTCM3X input key; and the
# RXM-RTCM report of each message heard (protocol 20 on), whose MSGOUT keys the codec's table
# does not name.
PROTO_RTCM3 = 0x20
RXM_RTCM_KEYS = {"usb": "0x2091026B", "uart1": "0x20910269"}
PRT_PORT_IDS = {"usb": 3, "uart1": 1}
PRT_USB_FIELDS = ("portID", "txReady", "inProtoMask", "outProtoMask")


def prt_block(rx, port_id):
    def this_port(msg):
        return msg.length == 20 and getattr(msg, "portID", None) == port_id
    msg = rx.poll(CFG, CFG_PRT, "CFG-PRT poll of port %d" % port_id, this_port, portID=port_id)
    if msg is None:
        raise Rejected("the receiver rejected the CFG-PRT poll of port %d (ACK-NAK)" % port_id)
    return msg


def rtcm(rx, args):
    on = args.state == "on"
    ident = rx.identity()
    print("generation: %s, protocol version %s" % (ident.generation or "unknown",
                                                   ident.protver_text or "unknown"))
    method = ident.method
    rxm = ident.protver is None or ident.protver >= 20
    if method in (KEY, KEY_THEN_LEGACY):
        iface = rx.interface(method == KEY_THEN_LEGACY)
        keys = {Key("CFG-%sINPROT-RTCM3X" % INTERFACES[iface]): on,
                Key(RXM_RTCM_KEYS[iface]): int(on)}
        rx.valset(keys)
        rx.save(keys)
    else:
        iface = rx.interface(True)
        port_id = PRT_PORT_IDS[iface]
        block = prt_block(rx, port_id)
        fields = {name: getattr(block, name)
                  for name in (PRT_UART_FIELDS if port_id == 1 else PRT_USB_FIELDS)}
        mask = fields["inProtoMask"]
        fields["inProtoMask"] = mask | PROTO_RTCM3 if on else mask & ~PROTO_RTCM3
        rx.configure(CFG_PRT, "CFG-PRT %s inProtoMask %#06x" % (INTERFACES[iface],
                                                                fields["inProtoMask"]), **fields)
        # A receiver without RTCM 3 input takes the message and drops the bit: ask it back.
        kept = prt_block(rx, port_id).inProtoMask & PROTO_RTCM3
        if bool(kept) != on:
            raise Rejected("the receiver does not keep RTCM 3 input on %s (protocol %s has "
                           "none)" % (INTERFACES[iface], ident.protver_text or "unknown"))
        if rxm:
            rx.configure(CFG_MSG, "CFG-MSG 02 32 rate %d (RXM-RTCM)" % on, msgClass=0x02,
                         msgID=0x32, rate=int(on))
        else:
            print("no RXM-RTCM on protocol %s (it came with 20)" % ident.protver_text)
        rx.save()
    print("RTCM 3 input on %s: %s%s, saved" % (INTERFACES[iface], args.state,
                                               ", RXM-RTCM: %s" % args.state if rxm else ""))


def msg_rate(rx, args):
    rx.configure(CFG_MSG, "CFG-MSG %02X %02X rate %d" % (args.cls, args.id, args.rate),
                 msgClass=args.cls, msgID=args.id, rate=args.rate)


# -- the table -----------------------------------------------------------------------------

class Arg:
    """One argparse argument of a command: add_argument's arguments."""

    def __init__(self, *names, **options):
        self.names, self.options = names, options


class Command:
    def __init__(self, name, help, run, *args, prepare=None):
        self.name, self.help, self.run, self.args, self.prepare = name, help, run, args, prepare


COMMANDS = (
    Command("version", "software, hardware, protocol version and generation (MON-VER)",
            version),
    Command("setup", "the fresh-receiver recipe: NAV-PVT on at HZ (default 1) on this port, "
            "saved; says what it did per step", setup,
            Arg("hz", nargs="?", type=hz, default=1.0),
            Arg("--sky", action="store_true",
                help="also NAV-SAT (NAV-SVINFO on protocol 14) and NAV-DOP at every solution, "
                "for a satellite view")),
    Command("get", "configuration values by key (CFG-VALGET): NAME=VALUE [UNIT]", get,
            Arg("keys", nargs="+", metavar="KEY"),
            Arg("--layer", choices=POLL_LAYERS, default="ram",
                help="the layer to read (default ram)"),
            prepare=prepare_get),
    Command("set", "configuration values by key (CFG-VALSET), KEY=VALUE in the unit get "
            "prints", set_values,
            Arg("values", nargs="+", metavar="KEY=VALUE"),
            Arg("--layers", default="ram", help="comma-separated ram,bbr,flash (default ram)"),
            prepare=prepare_set),
    Command("baud", "UART1's speed (CFG-PRT or CFG-UART1-BAUDRATE); reopens the port at N and "
            "proves the speed with a poll", baud_rate,
            Arg("rate", type=baud, metavar="N")),
    Command("model", "the dynamic platform model (CFG-NAV5 or CFG-NAVSPG-DYNMODEL): %s"
            % " ".join(MODELS), model,
            Arg("name", choices=tuple(MODELS), metavar="NAME")),
    Command("power", "full power or power save (CFG-RXM or CFG-PM-OPERATEMODE)", power,
            Arg("mode", choices=tuple(POWER))),
    Command("enable-pvt", "NAV-PVT on this port, every N-th solution (CFG-MSG)",
            lambda rx, args: pvt(rx, LEGACY_THEN_KEY, args.every),
            Arg("every", nargs="?", type=every, default=1, help="every N-th solution")),
    Command("disable-pvt", "NAV-PVT off on this port",
            lambda rx, args: pvt(rx, LEGACY_THEN_KEY, 0)),
    Command("msg", "any message's rate on this port (CFG-MSG), e.g. msg F0 00 0", msg_rate,
            Arg("cls", type=byte), Arg("id", type=byte), Arg("rate", type=every)),
    Command("nmea", "the NMEA set (GGA GLL GSA GSV RMC VTG) on this port", nmea,
            Arg("state", choices=("on", "off"))),
    Command("rtcm", "RTCM 3 correction input (and the RXM-RTCM report) on this port on or off "
            "(CFG-PRT inProtoMask, or CFG-...INPROT-RTCM3X and its MSGOUT key), saved", rtcm,
            Arg("state", choices=("on", "off"))),
    Command("rate", "solutions per second (CFG-RATE or CFG-RATE-MEAS)",
            lambda rx, args: meas_rate(rx, LEGACY_THEN_KEY, args.hz),
            Arg("hz", type=hz)),
    Command("save", "keep the configuration over power cycles (CFG-CFG)",
            lambda rx, args: rx.save()),
)
BY_NAME = {c.name: c for c in COMMANDS}
