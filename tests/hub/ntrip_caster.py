"""A small NTRIP caster for the corrections client's tests; by default it sends the recording's
RTCM 3 frames (tests/rtcm3_helpers.py).

The caster serves one mountpoint and answers the way the real casters in the wild do, chosen
per test: NTRIP v2 with chunked transfer (chunks cut across frames), v1's "ICY 200 OK", 401,
the source table, a stall after the answer, garbage and an HTML error page, and a v1-only caster
that cannot read a v2 request. It records every request and every line the client sends after
it (GGA), and the exact bytes it sent each connection. Listens on 127.0.0.1, an ephemeral port.
"""
import base64
import socket
import socketserver
import threading
import time

from rtcm3_helpers import capture_frames

SOURCETABLE = (
    "STR;TEST;Test;RTCM 3.2;1077(1),1087(1),1097(1);2;GPS+GLO+GAL;ZQ;DEU;47.50;8.50;1;0;"
    "zq-test;none;B;N;0;\r\n"
    "STR;\"SEMI;COLON\";Quoted;RTCM 3.3;1005(10);2;GPS;ZQ;DEU;47.0;8.0;0;0;zq-test;none;N;N;0;\r\n"
    "CAS;127.0.0.1;2101;ZQ test caster;ZQ;0;DEU;47.5;8.5;http://example.invalid\r\n"
    "NET;ZQ;ZQ;B;N;http://example.invalid;none;none;none\r\n"
    "ENDSOURCETABLE\r\n")


class Caster:
    """MODE: "v2" (HTTP/1.1 200, chunked), "v1" (ICY 200 OK), "v2plain" (HTTP 200, not chunked),
    "v1only" (ICY to a v1 request, "HTTP/1.1 400" to a v2 one), "unauthorized", "stall" (ICY,
    then nothing), "garbage" (data mixed with noise, half frames and an HTML page), "html" (a
    200 answer whose body is an HTML error page). FRAMES are sent EPOCH at a time every PERIOD
    seconds, REPEAT rounds (0: for ever) per connection; CLOSE_AFTER frames ends a connection."""

    def __init__(self, mode="v2", frames=None, user=None, password=None, epoch=4, period=0.05,
                 repeat=1, close_after=None, mount="TEST", chunk=97):
        self.mode, self.mount, self.chunk = mode, mount, chunk
        self.frames = frames if frames is not None else capture_frames()
        self.auth = None
        if user is not None:
            self.auth = "Basic " + base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        self.epoch, self.period, self.repeat, self.close_after = epoch, period, repeat, close_after
        self.requests = []      # (request text, [lines the client sent afterwards])
        self.sent = []          # per connection: the data bytes sent (before chunking)
        self.connections = 0
        self.changed = threading.Condition()
        self.stop_event = threading.Event()
        caster = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                caster._serve(self.request)

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

        self.server = Server(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def url(self, mount=None, user=None, password=None):
        cred = "" if user is None else "%s:%s@" % (user, password)
        return "ntrip://%s127.0.0.1:%d/%s" % (cred, self.port, self.mount if mount is None else mount)

    def close(self):
        self.stop_event.set()
        self.server.shutdown()
        self.server.server_close()

    def wait(self, predicate, timeout=20.0, what="the caster"):
        deadline = time.monotonic() + timeout
        with self.changed:
            while not predicate():
                left = deadline - time.monotonic()
                if left <= 0:
                    raise AssertionError("timed out waiting for " + what)
                self.changed.wait(min(left, 0.1))

    def _note(self, fn):
        with self.changed:
            fn()
            self.changed.notify_all()

    def _serve(self, sock):
        sock.settimeout(10)
        data = b""
        while b"\r\n\r\n" not in data:
            try:
                more = sock.recv(4096)
            except OSError:
                return
            if not more:
                return
            data += more
        head, _, rest = data.partition(b"\r\n\r\n")
        text = head.decode("latin-1")
        lines = []
        self._note(lambda: self.requests.append((text, lines)))
        self._note(lambda: setattr(self, "connections", self.connections + 1))
        reader = threading.Thread(target=self._read_lines, args=(sock, rest, lines), daemon=True)
        reader.start()
        first = text.split("\r\n")[0].split()
        mount = first[1].lstrip("/") if len(first) > 1 else ""
        v2 = "Ntrip-Version: Ntrip/2.0" in text
        try:
            self._answer(sock, text, mount, v2)
        except OSError:
            pass
        finally:
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def _read_lines(self, sock, rest, lines):
        buf = rest
        while True:
            while b"\n" in buf:
                line, _, buf = buf.partition(b"\n")
                self._note(lambda: lines.append(line.rstrip(b"\r").decode("latin-1")))
            try:
                more = sock.recv(4096)
            except OSError:
                return
            if not more:
                return
            buf += more

    def _answer(self, sock, text, mount, v2):
        if mount != self.mount:
            body = SOURCETABLE.encode()
            if v2 and self.mode in ("v2", "v2plain"):
                sock.sendall(b"HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\n"
                             b"Content-Type: gnss/sourcetable\r\nContent-Length: %d\r\n"
                             b"Connection: close\r\n\r\n" % len(body) + body)
            else:
                sock.sendall(b"SOURCETABLE 200 OK\r\nServer: zq-test\r\nContent-Type: text/plain\r\n"
                             b"Content-Length: %d\r\n\r\n" % len(body) + body)
            return
        if self.auth and ("Authorization: " + self.auth) not in text:
            sock.sendall(b"HTTP/1.0 401 Unauthorized\r\n\r\n" if not v2 else
                         b"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"/TEST\"\r\n"
                         b"Content-Type: text/html\r\nContent-Length: 30\r\n\r\n"
                         b"<html>401 Unauthorized</html>\n")
            return
        if self.mode == "unauthorized":
            sock.sendall(b"HTTP/1.1 401 Unauthorized\r\n\r\n")
            return
        if self.mode == "v1only" and (v2 or "HTTP/1.1" in text.split("\r\n")[0]):
            sock.sendall(b"HTTP/1.1 400 Bad Request\r\n\r\n")
            return
        chunked = self.mode == "v2" and v2
        if chunked:
            sock.sendall(b"HTTP/1.1 200 OK\r\nNtrip-Version: Ntrip/2.0\r\nContent-Type: gnss/data\r\n"
                         b"Transfer-Encoding: chunked\r\nCache-Control: no-store\r\n\r\n")
        elif self.mode in ("v2plain", "html") and v2:
            ctype = b"text/html" if self.mode == "html" else b"gnss/data"
            sock.sendall(b"HTTP/1.1 200 OK\r\nContent-Type: " + ctype + b"\r\n\r\n")
        else:
            sock.sendall(b"ICY 200 OK\r\n")
        sent = bytearray()
        self._note(lambda: self.sent.append(sent))
        if self.mode == "stall":
            self.stop_event.wait(60)
            return
        if self.mode == "html":
            sock.sendall(b"<!DOCTYPE html><html><body><h1>503 Service Unavailable</h1>"
                         b"\xd3 not a frame \xd3\x00\x13</body></html>\r\n" * 20)
            self.stop_event.wait(60)
            return
        pending = b""
        count = 0
        rounds = 0
        while not self.stop_event.is_set():
            for i in range(0, len(self.frames), self.epoch):
                batch = self.frames[i:i + self.epoch]
                if self.close_after is not None:
                    batch = batch[:max(0, self.close_after - count)]
                out = b"".join(batch)
                if self.mode == "garbage":
                    # noise, a false preamble, a half frame and an HTML page around real frames
                    out = (b"<html><body>oops \xd3\x00\x05abc</body></html>" + out[:7] +
                           b"\x00\xd3\xff" + out)
                if chunked:
                    pending += out
                    wire = b""
                    while len(pending) >= self.chunk:
                        piece, pending = pending[:self.chunk], pending[self.chunk:]
                        wire += b"%x;ext=1\r\n" % len(piece) + piece + b"\r\n"
                    if wire:
                        sock.sendall(wire)
                elif out:
                    sock.sendall(out)
                self._note(lambda: sent.extend(out))
                count += len(batch)
                if self.close_after is not None and count >= self.close_after:
                    if chunked and pending:
                        sock.sendall(b"%x\r\n" % len(pending) + pending + b"\r\n")
                        self._note(lambda: None)
                    if chunked:
                        sock.sendall(b"0\r\n\r\n")
                    return
                if self.stop_event.wait(self.period):
                    return
            rounds += 1
            if self.repeat and rounds >= self.repeat:
                if chunked:
                    if pending:
                        sock.sendall(b"%x\r\n" % len(pending) + pending + b"\r\n")
                    sock.sendall(b"0\r\n\r\n")
                # keep the connection open, silent, until the test ends
                self.stop_event.wait(60)
                return
