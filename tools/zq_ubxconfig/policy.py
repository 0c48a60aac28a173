"""What the receiver is and how a change reaches it.

MON-VER's protocol version decides: legacy configuration messages (CFG-MSG, CFG-RATE,
CFG-NAV5, CFG-RXM, CFG-PRT) below 27 (generations 6 to 8); configuration by key (CFG-VALSET,
CFG-VALGET) from 27 on, with the legacy message as a fall-back where a generation 9 receiver
refuses a key; by key only from 34 on (generation 10, which refuses the legacy messages but
CFG-CFG and CFG-RST)."""
import os
import re

from . import codec
from .errors import Rejected
from .keys import Key
from .transport import Link

MON, MON_VER = 0x0A, 0x04
CFG_PRT, CFG_CFG = 0x00, 0x09
# ioPort, msgConf, infMsg, navConf, rxmConf and senConf, rinvConf, antConf, logConf, ftsConf
SAVE_ALL = 0x1F1F
# battery-backed RAM, flash, EEPROM, SPI flash: whichever the receiver has
ALL_DEVICES = 0x17
BBR_DEVICE = 0x01

INTERFACES = {"usb": "USB", "uart1": "UART1"}
PORT_IDS = {1: "uart1", 3: "usb"}  # CFG-PRT portID of the port a poll arrived on

# hwVersion of each generation; the protocol version tells apart what shares a chip.
GENERATION_BY_HW = {"00040007": 6, "00070000": 7, "00080000": 8, "00190000": 9,
                    "000A0000": 10}

# How a change is sent, and in which order the two ways are tried.
LEGACY, KEY, KEY_THEN_LEGACY, LEGACY_THEN_KEY = "legacy", "key", "key+legacy", "legacy+key"
WAYS = {LEGACY: [LEGACY], KEY: [KEY], KEY_THEN_LEGACY: [KEY, LEGACY],
        LEGACY_THEN_KEY: [LEGACY, KEY]}


class Identity:
    """What MON-VER says about a receiver, and how it takes its configuration."""

    def __init__(self, sw, hw, extensions):
        self.sw, self.hw, self.extensions = sw, hw, list(extensions)
        self.protver_text = None
        for ext in self.extensions:
            m = re.search(r"PROTVER[= ]\s*(\d+(?:\.\d+)?)", ext)
            if m:
                self.protver_text = m.group(1)
                break
        self.protver = float(self.protver_text) if self.protver_text else None
        self.generation = GENERATION_BY_HW.get(hw.strip().upper())
        if self.generation is None and self.protver is not None:
            pv = self.protver
            self.generation = (5 if pv < 12 else 6 if pv < 14 else 7 if pv < 15 else
                               8 if pv < 27 else 9 if pv < 34 else 10)

    @property
    def method(self):
        pv = self.protver
        if pv is None:
            if self.generation is None:
                return KEY_THEN_LEGACY  # nothing known: a refused key costs one NAK
            pv = 34 if self.generation >= 10 else 27 if self.generation == 9 else 0
        return KEY if pv >= 34 else KEY_THEN_LEGACY if pv >= 27 else LEGACY

    def describe_method(self):
        return {LEGACY: "legacy configuration messages",
                KEY_THEN_LEGACY: "configuration by key, legacy messages as a fall-back",
                KEY: "configuration by key only"}[self.method]


class Receiver(Link):
    """The line to one receiver, with what it is and how a change reaches it."""

    def __init__(self, port, baud, timeout, retries, interface="auto"):
        # A line speed given means a UART: USB has none.
        self.baud_given = baud is not None
        self.interface_option = interface
        self._interface = None
        self._identity = None
        super().__init__(port, 9600 if baud is None else baud, timeout, retries)

    def identity(self):
        if self._identity is None:
            msg = self.poll(MON, MON_VER, "MON-VER poll")
            if msg is None:
                raise Rejected("the receiver rejected the MON-VER poll (ACK-NAK)")
            ext, k = [], 1
            while hasattr(msg, "extension_%02d" % k):
                ext.append(getattr(msg, "extension_%02d" % k))
                k += 1
            self._identity = Identity(msg.swVersion, msg.hwVersion, ext)
        return self._identity

    def interface(self, may_poll=False):
        """The port this line reaches on the receiver: usb or uart1."""
        if self._interface is not None:
            return self._interface
        how = None
        if self.interface_option != "auto":
            iface, how = self.interface_option, "as given"
        else:
            iface = None
            if may_poll:
                # A CFG-PRT poll without a port id answers for the port it arrives on.
                msg = self.poll(0x06, CFG_PRT, "CFG-PRT poll", lambda m: m.length >= 20, 1)
                port_id = getattr(msg, "portID", None) if msg is not None else None
                if port_id in PORT_IDS:
                    iface, how = PORT_IDS[port_id], "the receiver's CFG-PRT answer"
            if iface is None:
                dev = os.path.basename(os.path.realpath(self.port))
                if dev.startswith("ttyACM"):
                    iface, how = "usb", "a USB device name"
                elif re.match(r"tty(S|AMA|USB|THS|mxc|SAC)\d", dev):
                    iface, how = "uart1", "a serial-line device name"
                elif self.baud_given:
                    iface, how = "uart1", "--baud given"
                else:
                    iface, how = "usb", "assumed; --baud or --interface uart1 on a UART"
        print("interface: %s (%s)" % (INTERFACES[iface], how))
        self._interface = iface
        return iface

    def pvt_key(self, may_poll=False):
        return Key("CFG-MSGOUT-UBX_NAV_PVT_" + INTERFACES[self.interface(may_poll)])

    def step(self, method, by_key, legacy):
        """Applies one change to RAM: BY_KEY() gives {Key: value} for CFG-VALSET, LEGACY is
        (msg_id, what, fields) of the legacy message; METHOD orders them, the second one
        tried only when the first is refused. Returns the way that was acknowledged."""
        ways = [w for w in WAYS[method] if (by_key if w == KEY else legacy) is not None]
        for n, way in enumerate(ways):
            try:
                if way == KEY:
                    self.valset(by_key())
                else:
                    self.configure(legacy[0], legacy[1], **legacy[2])
                return way
            except Rejected as e:
                if n == len(ways) - 1:
                    raise
                print("%s; %s instead" % (e, "by key" if way == LEGACY else "the legacy message"))
        raise Rejected("no way to send this change")  # not reached: every caller gives one

    def save(self, by_key=None):
        """Keeps the configuration over power cycles: BY_KEY {Key: value} written to the
        battery-backed RAM and flash layers, or everything with CFG-CFG; flash first, then
        battery-backed RAM alone when the receiver refuses it."""
        if by_key is not None:
            try:
                self.valset(by_key, codec.ubx.SET_LAYER_BBR | codec.ubx.SET_LAYER_FLASH)
                return
            except Rejected as e:
                print("%s: no flash? saving to battery-backed RAM only" % e)
            self.valset(by_key, codec.ubx.SET_LAYER_BBR)
            return
        try:
            self.configure(CFG_CFG, "CFG-CFG save", clearMask=0, saveMask=SAVE_ALL, loadMask=0,
                           deviceMask=ALL_DEVICES)
            return
        except Rejected as e:
            print("%s: no flash? saving to battery-backed RAM only" % e)
        self.configure(CFG_CFG, "CFG-CFG save to battery-backed RAM", clearMask=0,
                       saveMask=SAVE_ALL, loadMask=0, deviceMask=BBR_DEVICE)
