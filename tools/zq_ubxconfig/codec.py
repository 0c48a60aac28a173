"""The codec (libs.pyubx2) and pyserial, loaded once the arguments are read, from the
deployment root zq_tool finds: --help and --version need neither. Until load() has run, both
names are None."""
import zq_tool

from .errors import BAD_ARGUMENTS, ConfigError

ubx = None     # the module libs.pyubx2
serial = None  # pyserial


def load():
    global ubx, serial
    if ubx is not None:
        return
    place = zq_tool.locate()
    if not place.has_codec():
        raise ConfigError(BAD_ARGUMENTS, "cannot load the codec: %s" % zq_tool.not_found())
    try:
        import serial as pyserial
        module = zq_tool.load_codec(place)
    except ImportError as e:
        raise ConfigError(BAD_ARGUMENTS, "cannot load the codec from %s: %s" % (
            place.root, e)) from None
    ubx, serial = module, pyserial
