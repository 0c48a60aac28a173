"""Driver for a u-blox GPS receiver on a USB serial port.

A host constructs one `zq_gps` object per receiver. Construction opens the port and starts a
background reader thread that decodes the receiver's UBX NAV-PVT messages into attributes the
host reads at any time. Call `zq_gps.stop()` before the host exits.

Importing the module appends `$ROOT_PATH/libs` (or `libs` without `ROOT_PATH`) to `sys.path`,
creates the log directory `$ROOT_PATH/logs` (or `./logs`) and writes a version banner to the
day's log file `gps_DD_MM_YYYY.log` there.
"""
import datetime as datetime
import logging
import os as os
import sys as sys
import threading as threading
import time as time
from typing import Any

import libs.zq_logger
from libs.pyubx2 import SET as SET
from libs.pyubx2 import UBXMessage as UBXMessage
from libs.pyubx2 import UBXReader as UBXReader

log = libs.zq_logger
"""The logging service module; the driver's logger `l` is made by its `zq_logger().createlogger`."""

serial: Any
"""The serial library (pyserial); the driver opens its port through `serial.Serial`."""

day: str
"""The import day as `DD_MM_YYYY`; it names the log file."""

logdir: str
"""The log directory: `$ROOT_PATH/logs`, or `./logs` without `ROOT_PATH`."""

logfile: str
"""The log file of the import day: `logdir/gps_DD_MM_YYYY.log`."""

version: str
"""The driver's version, `"1.4.0"`."""
__version__: str
"""The same text as `version`, where tools look for a module's version."""

l: logging.Logger
"""The module-wide logger, writing one-line records to `logfile`."""

class zq_error(Exception):
    """A failure reported to the host: logged at error level and printed as
    `Error-Code: CCCC, Error-Message: TEXT`.

    Code 1 (no device at the port) ends the process with exit status 1 through `sys.exit(1)`.
    Code 2 is a failed read (the reader gave up, or a restart could not open the port).
    Other codes are reported as "Unknown GPS error."
    """

    message: str
    """The error's text, e.g. "No GPS-mouse is present in system."."""
    code: str
    """The error code as four digits, e.g. "0001"."""
    def __init__(self, e: object, error_code: object) -> None:
        """Reports the failure `e` with `error_code`: logs it, prints the error line and, for
        code 1, exits the process with status 1."""

class zq_gps:
    """One receiver on one serial port, read by a background thread.

    Every NAV-PVT field the driver copies is an attribute of the same name, raw as on the
    wire; each is -1 until the first accepted message. No lock guards the attributes: a tuple
    from `getgps()` may combine fields of two consecutive messages.
    """

    lat: float
    """Latitude in degrees (NAV-PVT lat / 1e7); 0 before the first fix."""
    lon: float
    """Longitude in degrees (NAV-PVT lon / 1e7); 0 before the first fix."""
    acc: float
    """Position dilution of precision (NAV-PVT pDOP / 100); 99.99 before the first fix."""
    gpsmode: str
    """Identity of the messages the reader accepts, "NAV-PVT"."""
    parseddata: int
    """Kept for hosts that read it; always -1."""
    numofsat: int
    """Satellites used in the solution (numSV); -1 before the first fix."""
    gSpeed: int
    """Ground speed in mm/s; -1 before the first fix."""
    headAcc: int
    """Heading accuracy in 1e-5 degree; -1 before the first fix."""
    headMot: int
    """Heading of motion in 1e-5 degree; -1 before the first fix."""
    last_Time: float
    """`time.time()` at construction, then at each debug dump of a message (about once a second)."""
    parsed_data: UBXMessage | None
    """The last accepted message, or None: one consistent message, whose age is
    `time.monotonic() - parsed_data.rx_time`."""
    index: int
    """-1 at construction, incremented by each `restart()`."""
    stopit: int
    """Stop request for the reader: `stop()` sets it to 1; the reader ends at its next check."""
    flag: bool | int
    """True while the reader delivers live data. False before the first message, after
    `restart()` until the new reader's first message, while the data is stale (no message for
    three of its intervals, at least 1.5 s; logged "GPS data stale", True again with the next
    message, logged "GPS data resumed") and once the reader has ended; 0 after `stop()`."""
    port: str
    """The serial device the reader opens."""
    fullyResolved: int
    validMag: int
    tAcc: int
    fixType: int
    """Fix type: 0 none, 1 dead reckoning, 2 2D, 3 3D, 4 GNSS + dead reckoning, 5 time only."""
    gnssFixOk: int
    """1 when the fix is valid within the receiver's accuracy masks."""
    difSoln: int
    psmState: int
    headVehValid: int
    carrSoln: int
    confirmedAvai: int
    confirmedDate: int
    confirmedTime: int
    numSV: int
    height: int
    """Height above the ellipsoid in mm."""
    hMSL: int
    """Height above mean sea level in mm."""
    hAcc: int
    """Horizontal accuracy estimate in mm."""
    vAcc: int
    """Vertical accuracy estimate in mm."""
    velN: int
    velE: int
    velD: int
    sAcc: int
    pDOP: int
    reserved1: int
    headVeh: int
    magDec: int
    magAcc: int
    ser: Any
    """The open serial port (`serial.Serial`, 9600 baud, 2 s read time-out)."""
    ubr: UBXReader
    """The UBX reader over `ser`."""
    t1: threading.Thread
    """The reader thread."""
    def __init__(self, gpsmode: str = "NAV-PVT", port: str = "/dev/ttyACM0") -> None:
        """Sets every value to its not-yet-known value and calls `run()`: opens `port` and
        starts the reader thread. A missing device is reported as `zq_error` code 1, which
        ends the process with exit status 1."""
    def run(self) -> None:
        """Opens the port and starts the reader thread; does nothing while this object's
        reader thread is alive. Calls of `run` and `restart` from several threads take
        effect one after another."""
    def loop_gps(self) -> None:
        """The reader thread's body. Reads messages until `stopit` is set or 101 reads in a
        row have failed; the latter is reported as `zq_error` code 2 and sets `flag` to False.
        Pauses 0.025 s before each read unless the reader has a backlog, which it drains."""
    def stop(self) -> None:
        """Asks the reader to end and closes the port without waiting. The thread ends within
        the port's 2-second read time-out."""
    def getparseddata(self) -> tuple[float, float, float]:
        """`(lon, lat, acc)`."""
    def setPowerMode(self) -> None:
        """Sends CFG-RXM with lpMode 0 (continuous, full power):
        `B5 62 06 11 02 00 08 00 21 91`."""
    def getgps(self) -> tuple[float, float, float, int, int, int, int]:
        """`(lon, lat, acc, numofsat, gSpeed, headAcc, headMot)`; before the first fix
        `(0, 0, 99.99, -1, -1, -1, -1)`."""
    def getlat(self) -> float:
        """Latitude in degrees."""
    def getlon(self) -> float:
        """Longitude in degrees."""
    def getversion(self) -> str:
        """The module's `version`."""
    def restart(self) -> None:
        """Brings the reader back, on the same or a new `port`: resets the seven values of
        `getgps()` and sets `flag` False until new data, counts itself in `index`, waits
        (bounded) for an earlier reader to end and starts anew. A failed start is reported as `zq_error` code 2, never raised. After
        `stop()`, set `stopit = 0` first."""
