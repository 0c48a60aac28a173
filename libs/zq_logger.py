"""Logging service of the zq_gps module: named loggers writing to rotating UTF-8 files.

    log = zq_logger().createlogger("gps", "./logs/gps_09_12_2025.log")
    log.info("opened /dev/ttyACM0"); log.debug(message_object)

Each record is exactly one line:

    2026-12-08T17:31:24.123+0000 DEBUG [reader-1] <str(message)>

- Timestamp: ISO-8601, UTC with milliseconds and an explicit "+0000" offset, so
  lines from devices in different time zones, or across a DST change, sort and
  compare without conversion.
- Level name, then the thread name in brackets, then the message; a non-text
  message (e.g. a parsed UBX message) is written as its str().
- Line breaks inside the message or a traceback are written as the escapes
  "\\n", "\\r" (other Unicode line separators as "\\xNN"/"\\uNNNN"), so a reader can
  split the file on newlines and get whole records. Backslashes are not escaped:
  the file is for reading, not for reversing.
- Characters that cannot be encoded (lone surrogates) are written backslash-escaped.

Disk bound: a file is rotated when the next record would take it past max_bytes
(5 MiB); backup_count (3) old files are kept (name.log.1 .. name.log.3), so at
most 4 files, about 20 MiB per log file name. A file can exceed max_bytes only by
part of one record (the size check counts characters, the file counts bytes, and a
single record longer than max_bytes is written whole).

Loggers are DEBUG-level (debug records are the only record of positions) and do
not propagate to the root logger, keeping the host's console clean; a host that
wants the records attaches its own handlers to the returned logger, or sets
propagate back to True.
"""
import logging
import logging.handlers
import os
import threading
import time

MAX_BYTES = 5 * 1024 * 1024
BACKUP_COUNT = 3

_LINE_BREAKS = "\n\r\v\f\x1c\x1d\x1e\x85\u2028\u2029"
_ESCAPES = str.maketrans({c: c.encode("unicode_escape").decode("ascii") for c in _LINE_BREAKS})

# One handler per absolute file path, shared by every logger writing that file:
# two handlers rotating the same file would rename it under each other.
_handlers = {}
_lock = threading.Lock()


class _OneLineFormatter(logging.Formatter):
    def __init__(self):
        super().__init__("%(asctime)s %(levelname)s [%(threadName)s] %(message)s")

    def formatTime(self, record, datefmt=None):
        stamp = time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(record.created))
        return "%s.%03d+0000" % (stamp, record.msecs)

    def format(self, record):
        return super().format(record).translate(_ESCAPES)


def _ours(handler):
    return getattr(handler, "_zq_logger", False)


class zq_logger:
    """The service; holds no state of its own, so creating it repeatedly is cheap."""

    def createlogger(self, name, path, max_bytes=MAX_BYTES, backup_count=BACKUP_COUNT):
        """Returns logging.getLogger(name) writing to path (its directory must exist).

        Calling again with the same file adds nothing (the rotation limits are
        updated); with another file, this service's handler for the old file is
        detached (closed when no other logger uses it) and handlers a host
        attached stay in place.
        """
        path = os.path.abspath(path)
        logger = logging.getLogger(name)
        with _lock:
            handler = _handlers.get(path)
            if handler is None:
                handler = logging.handlers.RotatingFileHandler(
                    path, maxBytes=max_bytes, backupCount=backup_count,
                    encoding="utf-8", errors="backslashreplace")
                handler._zq_logger = True
                handler.setLevel(logging.DEBUG)
                handler.setFormatter(_OneLineFormatter())
                _handlers[path] = handler
            handler.maxBytes, handler.backupCount = max_bytes, backup_count
            first = not any(_ours(h) for h in logger.handlers)
            for old in [h for h in logger.handlers if _ours(h) and h is not handler]:
                logger.removeHandler(old)
                if not any(old in other.handlers for other in _loggers()):
                    _handlers.pop(old.baseFilename, None)
                    old.close()
            if handler not in logger.handlers:
                logger.addHandler(handler)
            logger.setLevel(logging.DEBUG)
            if first:
                logger.propagate = False  # later calls leave a host's choice alone
        return logger


def _loggers():
    found = list(logging.Logger.manager.loggerDict.values())
    return [logging.root] + [lg for lg in found if isinstance(lg, logging.Logger)]
