"""The receiver's hub: a host waits for messages instead of polling, and the board's services
read every frame the reader takes.

`attach(receiver)` gives the receiver's `Hub`. The hub hears the receiver's reader loop as it
goes: each message read, each accepted message once its values are stored, each change of
state. What a host waits on (`wait`, `messages`, `subscribe`, their asyncio forms) is the very
message object the receiver stored as `parsed_data`, with its `rx_time`. Every wait takes a
timeout in seconds (None: no limit), lets go of the interpreter lock, and is interrupted by
signals (Ctrl-C) on the main thread. Every queue is bounded: a host that falls behind loses
the oldest items, counted in `dropped`.

A host that never imports zq_hub sees the receiver exactly as before.
"""
from typing import (Any, AsyncIterator, Awaitable, Callable, Iterable, Iterator, Literal, TypeVar,
                    final, overload)

from libs.pyubx2 import UBXMessage

__version__: str
"""The project's version, the same as zq_gps's."""

_T = TypeVar("_T")
_State = Literal["live", "stale", "stopped"]
_Kind = Literal["ubx", "nmea", "rtcm3", "other"]

def attach(receiver: Any, /) -> Hub:
    """The receiver's hub, made on first use; attaching again returns the same one until it is
    closed. It follows run() and restart() (a new port, a new reader) and works on through
    stop, unplug and restart. TypeError for anything but a zq_gps receiver."""

@final
class Hub:
    """The hub of one receiver. A context manager: leaving the block closes it.

    Identities are message names as the codec gives them ("NAV-PVT", "NAV-SAT", "NAV-DOP",
    "UNKNOWN-0x01-0x99"); an unknown name raises ValueError. `identities=None` means the
    accepted messages: those of the receiver's `gpsmode`, delivered once the receiver has
    stored them. Listed identities are delivered as the reader reads them, before the
    receiver's stores. With `states=True` the state names ("live", "stale", "stopped") come in
    the same order as the messages, as `str`.
    """

    @property
    def state(self) -> _State:
        """"live" while the receiver's `flag` would be True, "stale" while a reader runs without
        live data (before its first message, or once a stall has made `flag` False, with the
        same thresholds), "stopped" once the reader loop has ended (and once the hub is
        closed)."""
    @property
    def latest(self) -> UBXMessage | None:
        """The last accepted message, or None."""
    @property
    def receiver(self) -> Any:
        """The receiver attached to, or None once closed."""
    @property
    def closed(self) -> bool:
        """True once close() has run."""
    @property
    def dropped(self) -> int:
        """Items the hub's queues (messages, subscriptions, frames) have lost, oldest first,
        while their hosts fell behind, since the hub was made."""
    def close(self) -> None:
        """Detaches from the receiver (which reads on as before), stops every service, wakes
        every waiter (wait returns None, iterations end), cancels every subscription, and
        waits up to 2 s for callbacks still running. Idempotent."""
    def __enter__(self) -> Hub: ...
    def __exit__(self, *exc: object) -> bool: ...
    def wait(self, timeout: float | None = None) -> UBXMessage | None:
        """The next accepted message that arrives after the call, returned once the receiver
        has stored it (`receiver.getgps()` called next shows it, or a newer one); None when
        TIMEOUT passes, or at once after close()."""
    def wait_state(self, timeout: float | None = None, *, since: _State | None = None) -> _State | None:
        """The state once it is other than SINCE (default: the state at the call), at once when
        it already is; None when TIMEOUT passes or the hub is closed. Pass the state last seen
        as SINCE to miss no change between two calls."""
    @overload
    def messages(self, identities: str | Iterable[str] | None = None, timeout: float | None = None, *, states: Literal[False] = False, capacity: int = 256) -> Messages[UBXMessage]:
        """The messages read from the port from now on, in arrival order (see the class's
        note on identities and states), through a queue of CAPACITY items. The iteration
        ends when nothing comes within TIMEOUT, or when the hub closes. None is lost while
        the host keeps up."""
    @overload
    def messages(self, identities: str | Iterable[str] | None = None, timeout: float | None = None, *, states: Literal[True], capacity: int = 256) -> Messages[UBXMessage | _State]: ...
    def states(self, timeout: float | None = None, *, capacity: int = 256) -> Messages[_State]:
        """The state changes in order, as messages(identities=(), states=True)."""
    @overload
    def subscribe(self, callback: Callable[[UBXMessage], object], identities: str | Iterable[str] | None = None, *, states: Literal[False] = False, capacity: int = 256) -> Subscription:
        """Calls CALLBACK with each message (and state, with STATES) in order, on a thread of
        its own, never the reader's. A callback that raises is logged through the receiver
        module's logger (`l.error`) and stays subscribed; one that blocks holds up only its own
        queue of CAPACITY items. A callback may call the hub and the receiver (stop, restart,
        close, its own cancel) freely."""
    @overload
    def subscribe(self, callback: Callable[[UBXMessage | _State], object], identities: str | Iterable[str] | None = None, *, states: Literal[True], capacity: int = 256) -> Subscription: ...
    def frames(self, kinds: Iterable[_Kind] | None = None, timeout: float | None = None, *, capacity: int = 256) -> Frames:
        """The tap: (kind, rx_time, bytes) of every piece the reader takes from the port from
        now on, in order: "ubx" frames (sync chars to checksum, every identity), "nmea"
        sentences, "rtcm3" frames and "other" bytes. KINDS: which (None: all). rx_time is the
        monotonic time of the read that took the last byte, as a message's `rx_time`. Ends
        when no piece comes within TIMEOUT, or when the hub closes."""
    def wait_async(self, timeout: float | None = None) -> Awaitable[UBXMessage | None]:
        """wait() for asyncio: a future of the running loop, settled from the loop's reader
        on the queue's descriptor (no task polls)."""
    @overload
    def messages_async(self, identities: str | Iterable[str] | None = None, timeout: float | None = None, *, states: Literal[False] = False, capacity: int = 256) -> AsyncMessages[UBXMessage]:
        """messages() for `async for`, woken by the loop's reader on the queue's descriptor;
        TIMEOUT ends the iteration as there."""
    @overload
    def messages_async(self, identities: str | Iterable[str] | None = None, timeout: float | None = None, *, states: Literal[True], capacity: int = 256) -> AsyncMessages[UBXMessage | _State]: ...

    # The services' rows (gpsd.cpp, timefeed.cpp), as their docstrings give them.
    def serve_gpsd(self, host: str = "127.0.0.1", port: int = 2947, *, max_clients: int = 64, queue_bytes: int = 262144, max_request: int = 1024, stale_after: float = 0) -> int:
        """Serves gpsd's JSON protocol on HOST:PORT for gpsd's clients; returns the port
        bound (PORT 0: any free one). A running server is replaced. The receiver is never
        written to. A client with more than QUEUE_BYTES unsent is dropped; a request longer
        than MAX_REQUEST gets an ERROR; STALE_AFTER seconds without NAV-PVT withdraw the fix
        (0: three intervals, at least 3 s)."""
    def stop_gpsd(self) -> bool:
        """Stops the gpsd server and closes its clients; False when none ran."""
    @property
    def gpsd_port(self) -> int | None:
        """The gpsd server's port, or None when none runs."""
    @property
    def gpsd_address(self) -> tuple[str, int] | None:
        """(host, port) of the gpsd server, or None when none runs."""
    @property
    def gpsd_stats(self) -> dict[str, int] | None:
        """The gpsd server's counters, or None when none runs."""
    def serve_chrony(self, path: str | None, /) -> None:
        """Sends chronyd one sample per trusted navigation solution through its SOCK
        refclock socket PATH; None stops it."""
    def serve_shm(self, unit: int | None, /) -> None:
        """Writes each trusted solution's time into the NTP shared-memory segment of UNIT;
        None stops it."""
    @property
    def time(self) -> dict[str, Any] | None:
        """The receiver's time as of its last navigation solution, or None before one."""
    @property
    def time_accuracy(self) -> float:
        """The bound (s) the time accuracy estimate must keep for the time to be trusted."""
    @time_accuracy.setter
    def time_accuracy(self, value: float) -> None: ...
    @property
    def time_feeds(self) -> dict[str, dict[str, Any]]:
        """The running time feeds' counts."""
    def ntrip(self, url: str, gga_interval: float = 10, version: int = 2, *, timeout: float = 10, silence_timeout: float = 20, backoff: float = 1, backoff_max: float = 60, agent: str | None = None) -> None:
        """Starts the corrections client (replacing one that runs): every whole, CRC-valid
        RTCM 3 frame the NTRIP caster at URL (ntrip://[user:password@]host[:port]/MOUNT)
        sends goes to the receiver's port, one whole frame after another; GGA from the latest
        fix goes to the caster at connect and every GGA_INTERVAL seconds (0: at connect only).
        Reconnects with a doubling back-off (BACKOFF up to BACKOFF_MAX seconds) after the
        caster closes, TIMEOUT seconds without an answer or SILENCE_TIMEOUT without a frame."""
    def ntrip_stop(self) -> bool:
        """Stops the corrections client; False when none runs."""
    @staticmethod
    def sourcetable(url: str, timeout: float = 10, version: int = 2) -> list[dict[str, Any]]:
        """The caster's source table, one dict per record (STR records by field name);
        OSError when the caster cannot be reached or refuses."""
    @property
    def ntrip_status(self) -> dict[str, Any] | None:
        """The corrections client's status (None when it does not run): state, bytes and
        frames received, forwarded and dropped by reason, message types seen, ages of the last
        frame, GGA sent, the receiver's diffSoln/carrSoln and RXM-RTCM verdicts per type."""
    @property
    def port_status(self) -> dict[str, Any] | None:
        """The port writer's counts (None before the receiver's first read): frames and bytes
        written, frames dropped by reason, the module's own writes it made way for."""

@final
class Messages(Iterator[_T]):
    """Messages (and states) in arrival order. The iteration ends when nothing comes within
    its timeout, when the hub closes, or at close(); a context manager that closes it."""

    @property
    def dropped(self) -> int:
        """Items this iteration's queue has lost while the host fell behind."""
    @property
    def closed(self) -> bool:
        """True once the iteration has ended."""
    def close(self) -> None: ...
    def __iter__(self) -> Messages[_T]: ...
    def __next__(self) -> _T: ...
    def __enter__(self) -> Messages[_T]: ...
    def __exit__(self, *exc: object) -> bool: ...

@final
class AsyncMessages(AsyncIterator[_T]):
    """messages() for `async for`. One step is awaited at a time; close() ends the iteration,
    a step awaited then included."""

    @property
    def dropped(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __aiter__(self) -> AsyncMessages[_T]: ...
    def __anext__(self) -> Awaitable[_T]: ...

@final
class Frames(Iterator[tuple[_Kind, float, bytes]]):
    """The tap's pieces as (kind, rx_time, bytes); see Hub.frames()."""

    @property
    def dropped(self) -> int: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None: ...
    def __iter__(self) -> Frames: ...
    def __next__(self) -> tuple[_Kind, float, bytes]: ...
    def __enter__(self) -> Frames: ...
    def __exit__(self, *exc: object) -> bool: ...

@final
class Subscription:
    """The handle of a subscribe(); the hub keeps the subscription whether the handle is kept
    or not. A context manager that cancels it."""

    @property
    def active(self) -> bool:
        """False once cancelled or the hub closed."""
    @property
    def dropped(self) -> int:
        """Items lost while the callback fell behind its queue."""
    @property
    def callback(self) -> Callable[[Any], object] | None:
        """The callback, or None once cancelled."""
    def cancel(self) -> None:
        """No callback starts after this returns (one running now finishes); what is queued
        is dropped. Never waits for the callback; idempotent."""
    def __enter__(self) -> Subscription: ...
    def __exit__(self, *exc: object) -> bool: ...
