"""Configuration keys as the user names them (a name from the codec's key table, any case, or
a hex id), their values in the key's unit, and the layers they are kept in. Names, ids, types,
scales and units are the codec's (CONFIG_KEYS, config_key)."""
import decimal
import difflib
import re

from . import codec
from .errors import bad_arguments

# The layers by name: set (CFG-VALSET / VALDEL bits) and get (a CFG-VALGET index) share the
# first three; the codec's SET_LAYER_* / POLL_LAYER_* give their values.
SET_LAYERS = ("ram", "bbr", "flash")
POLL_LAYERS = SET_LAYERS + ("default",)


def set_layer(name):
    return getattr(codec.ubx, "SET_LAYER_" + name.upper())


def poll_layer(name):
    return getattr(codec.ubx, "POLL_LAYER_" + name.upper())


class Key:
    """One configuration key as the user names it: its table entry, or a bare id."""

    def __init__(self, text):
        name = text.strip().upper()
        table = codec.ubx.CONFIG_KEYS
        if name in table:
            ref = name
        elif re.fullmatch(r"0X[0-9A-F]{1,8}", name):
            ref = int(name, 16)
        else:
            near = difflib.get_close_matches(name, list(table), n=3)
            raise bad_arguments("unknown configuration key %s%s" % (
                text, "; did you mean %s?" % ", ".join(near) if near else ""))
        try:
            self.name, self.id, self.type, self.scale, self.unit = codec.ubx.config_key(ref)
        except codec.ubx.UBXError:
            raise bad_arguments("key id %s has no valid size (bits 28-30 of the id must be 1 to "
                                "5)" % text) from None
        self.known = self.name in table

    def __repr__(self):
        return "Key(%r)" % self.name

    def format(self, value):
        if isinstance(value, bool) or self.type == "L":
            text = "true" if value else "false"
        elif isinstance(value, float):
            text = repr(value * self.scale if self.scale != 1 else value)
        elif self.type.startswith("X"):
            text = "0x%0*x" % (2 * int(self.type[1:]), value)
        elif self.scale != 1:
            text = format((decimal.Decimal(repr(self.scale)) * value).normalize(), "f")
        else:
            text = str(value)
        return "%s=%s%s" % (self.name, text, " " + self.unit if self.unit else "")

    def parse(self, text):
        """The wire value of TEXT, a value in the key's unit as format() prints it."""
        t = text.strip()
        if self.unit and t.endswith(self.unit):
            t = t[:-len(self.unit)].strip()
        what = "%s=%s" % (self.name, text)
        if self.type == "L":
            word = t.lower()
            if word in ("1", "true", "on", "yes"):
                return True
            if word in ("0", "false", "off", "no"):
                return False
            raise bad_arguments("%s: a switch is true or false" % what)
        try:
            if self.type.startswith("R"):
                return float(t) / self.scale
            if self.scale == 1:
                return int(t, 0)
            raw = decimal.Decimal(t) / decimal.Decimal(repr(self.scale))
        except (ValueError, ArithmeticError):
            raise bad_arguments("%s: not a number" % what) from None
        if not raw.is_finite() or raw != raw.to_integral_value():
            raise bad_arguments("%s: not a whole number of %s%s" % (
                what, repr(self.scale), " " + self.unit if self.unit else ""))
        return int(raw)


def key_id(name):
    """The id of a key as a decoded message names it (a table name or a hex id)."""
    return codec.ubx.config_key(name)[1]


def layer_mask(text):
    mask = 0
    for word in text.lower().split(","):
        if word not in SET_LAYERS:
            raise bad_arguments("unknown layer %r: layers are ram, bbr and flash" % word)
        mask |= set_layer(word)
    return mask


def layer_names(mask):
    return "+".join(n.upper() if n != "flash" else n for n in SET_LAYERS if mask & set_layer(n))


def valset_frame(values, layers):
    """CFG-VALSET of VALUES {Key: wire value}; a value out of its type's range is an error."""
    try:
        return codec.ubx.UBXMessage.valset(layers, {k.name: v for k, v in values.items()}
                                           ).serialize()
    except (codec.ubx.UBXError, TypeError, ValueError, OverflowError) as e:
        raise bad_arguments(str(e)) from None


def describe(values):
    return " ".join(k.format(v) for k, v in values.items())


def parse_values(items):
    """{Key: wire value} of KEY=VALUE items."""
    values = {}
    for item in items:
        name, eq, text = item.partition("=")
        if not eq or not text.strip():
            raise bad_arguments("%s: expected KEY=VALUE" % item)
        k = Key(name)
        values[k] = k.parse(text)
    if len(values) > codec.ubx.MAX_KEYS:
        raise bad_arguments("at most %d keys in one set" % codec.ubx.MAX_KEYS)
    return values
