"""An HTTP proxy between the miner and the test node that spoils replies on request.

It adds the transport faults a node, a proxy or a network can show and the test node cannot:
slow replies, replies cut short after their headers, oversized replies, requests that hang
without an answer, and 401 answers with an empty body. Every failed request, spoiled here or
failed by the node, is logged with its start and end time, so that the soak can tell an outage
from a stall of the miner.
"""

import http.client
import json
import socket
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MODES = ("slow", "cut-short", "oversized", "hang", "unauthorised")
# Larger than any real template and than the reply cap a careful client keeps (64 MiB).
OVERSIZED_BYTES = 72 * 1024 * 1024


@dataclass
class ProxyFault:
    mode: str
    remaining: int
    seconds: float = 0.0  # slow: the delay; hang: how long before the connection is closed
    plan_id: int = 0  # which plan it belongs to: the requests one plan spoils form one outage


@dataclass
class ProxyLog:
    """(plan id or None, start, end, mode, method) of every failed request, in monotonic seconds."""

    failed: list = field(default_factory=list)
    forwarded: int = 0


class FaultProxy:
    def __init__(self, node_host, node_port):
        self.node_host = node_host
        self.node_port = node_port
        self.log = ProxyLog()
        self._fault = None
        self._plans = 0
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        handler = type("BoundProxyHandler", (ProxyHandler,), {"proxy": self})
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.httpd.daemon_threads = True
        self._thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), daemon=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.httpd.server_address[1]

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        self.httpd.shutdown()
        self.httpd.server_close()

    def plan(self, mode, count, seconds=0.0):
        """The next `count` requests are spoiled in the way `mode` says; count 0 cancels."""
        if mode not in MODES:
            raise ValueError("mode must be one of " + ", ".join(MODES))
        with self._lock:
            self._plans += 1
            self._fault = ProxyFault(mode, count, seconds, self._plans) if count > 0 else None

    def take(self):
        with self._lock:
            fault = self._fault
            if fault is None or fault.remaining <= 0:
                return None
            fault.remaining -= 1
            return ProxyFault(fault.mode, 1, fault.seconds, fault.plan_id)

    def record(self, start, mode, method, plan_id=None):
        """A request that failed, spoiled here (plan_id set) or by the node itself."""
        with self._lock:
            self.log.failed.append((plan_id, start, time.monotonic(), mode, method))

    def forward(self, body, headers):
        """The node's (status, headers, body) for the request."""
        connection = http.client.HTTPConnection(self.node_host, self.node_port, timeout=120)
        try:
            connection.request("POST", "/", body, headers)
            response = connection.getresponse()
            return response.status, response.getheaders(), response.read()
        finally:
            connection.close()
            with self._lock:
                self.log.forwarded += 1

    def sleep(self, seconds):
        """Waits, but not beyond the proxy's stop."""
        self._stopping.wait(seconds)


def node_failure(status, method, reply):
    """What made the node's reply a failure, or None: an HTTP error status (500, an RPC error,
    a page of a proxy) or a template without the keys a miner needs."""
    if status >= 400:
        return "node-http-%d" % status
    if method == "getblocktemplate":
        try:
            result = json.loads(reply).get("result")
        except (ValueError, AttributeError):
            return "node-unreadable"
        if not isinstance(result, dict) or "previousblockhash" not in result or "bits" not in result:
            return "node-missing-field"
    return None


class ProxyHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    proxy = None  # set by FaultProxy on a subclass

    def log_message(self, format, *args):
        pass

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        body = self.rfile.read(length)
        try:
            method = json.loads(body).get("method", "")
        except (ValueError, AttributeError):
            method = ""
        headers = {name: value for name, value in self.headers.items()
                   if name.lower() in ("authorization", "content-type")}
        fault = self.proxy.take()
        start = time.monotonic()
        if fault is not None:
            try:
                self._spoil(fault, body, headers)
            finally:
                self.proxy.record(start, fault.mode, method, fault.plan_id)
            return
        try:
            status, reply_headers, reply = self.proxy.forward(body, headers)
        except (OSError, http.client.HTTPException):
            # The node dropped the connection: so does the proxy.
            self.proxy.record(start, "node-closed", method)
            self._drop()
            return
        self._relay(status, reply_headers, reply)
        failure = node_failure(status, method, reply)
        if failure:
            self.proxy.record(start, failure, method)

    def _spoil(self, fault, body, headers):
        if fault.mode == "unauthorised":
            self._answer(401, b"", {"WWW-Authenticate": 'Basic realm="jsonrpc"'})
        elif fault.mode == "hang":
            self.proxy.sleep(fault.seconds)
            self._drop()
        elif fault.mode == "slow":
            self.proxy.sleep(fault.seconds)
            self._relay(*self.proxy.forward(body, headers))
        elif fault.mode == "cut-short":
            status, _, reply = self.proxy.forward(body, headers)
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(reply)))
            self.end_headers()
            self.wfile.write(reply[: len(reply) // 2])
            self._drop()
        elif fault.mode == "oversized":
            status, _, reply = self.proxy.forward(body, headers)
            self.send_response(status)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(OVERSIZED_BYTES))
            self.end_headers()
            # The real reply, then blanks: valid JSON, but far too large to be taken in.
            padding = b" " * (1024 * 1024)
            try:
                self.wfile.write(reply)
                written = len(reply)
                while written < OVERSIZED_BYTES:
                    piece = padding[: OVERSIZED_BYTES - written]
                    self.wfile.write(piece)
                    written += len(piece)
            except OSError:
                pass  # the client gave up on it, as it should
            self.close_connection = True

    def _relay(self, status, headers, reply):
        self._answer(status, reply, {name: value for name, value in headers
                                     if name.lower() in ("content-type", "www-authenticate")})

    def _answer(self, status, reply, headers):
        self.send_response(status)
        for name, value in headers.items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)

    def _drop(self):
        self.close_connection = True
        try:
            self.wfile.flush()
            self.connection.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
