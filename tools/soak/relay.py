"""A byte-for-byte relay between the miner and the test node that times every request.

Whatever the node sends (a whole reply, one cut short, one that never ends, nothing at all) the
miner gets exactly that; the relay only watches. A request counts as failed unless the node
answered it completely with a success status (and, for a template, with the keys a miner needs),
and every failed request is logged with its start and end, so that the soak can tell an outage
of the node from a stall of the miner. The relay can also hold requests back for a while before
passing them on: slow replies, which the node itself cannot give.
"""

import json
import re
import select
import socket
import socketserver
import threading
import time
from dataclasses import dataclass, field

# Enough of a template reply to judge it; a larger one is a failure in any case.
MAX_KEPT_REPLY = 4 * 1024 * 1024


@dataclass
class RelayLog:
    """(start, end, what failed, method) of every failed request, in monotonic seconds."""

    failed: list = field(default_factory=list)
    relayed: int = 0


@dataclass
class Exchange:
    """What the relay saw of one request and its reply."""

    method: str = ""
    reply: bytearray = field(default_factory=bytearray)  # the start of the reply, up to MAX_KEPT_REPLY
    reply_bytes: int = 0


class Relay:
    def __init__(self, node_host, node_port):
        self.node_address = (node_host, node_port)
        self.log = RelayLog()
        self._slow = (0, 0.0)  # (requests left, delay in seconds)
        self._lock = threading.Lock()
        self._stopping = threading.Event()
        handler = type("BoundRelayHandler", (RelayHandler,), {"relay": self})
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), handler)
        self.server.daemon_threads = True
        self._thread = threading.Thread(target=self.server.serve_forever, args=(0.05,), daemon=True)

    @property
    def url(self):
        return "http://127.0.0.1:%d" % self.server.server_address[1]

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._stopping.set()
        self.server.shutdown()
        self.server.server_close()

    def slow_down(self, count, seconds):
        """Holds the next `count` requests back for `seconds` each; count 0 cancels."""
        with self._lock:
            self._slow = (count, seconds)

    def take_delay(self):
        with self._lock:
            count, seconds = self._slow
            if count <= 0:
                return 0.0
            self._slow = (count - 1, seconds)
            return seconds

    def record(self, start, failure, method):
        with self._lock:
            self.log.relayed += 1
            if failure:
                self.log.failed.append((start, time.monotonic(), failure, method))

    def wait(self, seconds):
        """Waits, but not beyond the relay's stop."""
        self._stopping.wait(seconds)


def read_request_head(client):
    """The request's header block (through the blank line) and whatever body bytes came with it."""
    data = b""
    while b"\r\n\r\n" not in data:
        piece = client.recv(65536)
        if not piece:
            return None, b""
        data += piece
    head, _, rest = data.partition(b"\r\n\r\n")
    return head, rest


def with_connection_close(head):
    """The header block with "Connection: close", so that one connection carries one request."""
    lines = [line for line in head.split(b"\r\n") if not line.lower().startswith(b"connection:")]
    return b"\r\n".join(lines + [b"Connection: close"]) + b"\r\n\r\n"


def judge(exchange, client_gone):
    """What made the exchange a failure, or None when the node answered it in full."""
    reply = bytes(exchange.reply)
    head, separator, body = reply.partition(b"\r\n\r\n")
    if not separator:
        return "no reply" if not reply else "cut in the headers"
    status_line = head.split(b"\r\n", 1)[0]
    match = re.match(rb"HTTP/1\.[01] (\d{3})", status_line)
    if not match:
        return "not HTTP"
    status = int(match.group(1))
    if status == 100:  # an interim answer to "Expect: 100-continue": the real one follows it
        exchange.reply = bytearray(body)
        exchange.reply_bytes -= len(head) + len(separator)
        return judge(exchange, client_gone)
    if status >= 400:
        return "HTTP %d" % status
    headers = head.lower()
    length = re.search(rb"\r\ncontent-length:\s*(\d+)", headers)
    body_bytes = exchange.reply_bytes - len(head) - len(separator)
    if length:
        if body_bytes < int(length.group(1)):
            return "cut short"
    elif b"transfer-encoding: chunked" in headers:
        if not body.endswith(b"0\r\n\r\n"):
            return "chunks never ended" if client_gone else "cut short (chunked)"
        body = b""  # a chunked template is not judged further
    if exchange.method == "getblocktemplate" and body:
        if exchange.reply_bytes > MAX_KEPT_REPLY:
            return "oversized"
        try:
            result = json.loads(body).get("result")
        except (ValueError, AttributeError):
            return "not JSON"
        if not isinstance(result, dict) or "previousblockhash" not in result or "bits" not in result:
            return "template without a key"
    return None


class RelayHandler(socketserver.BaseRequestHandler):
    relay = None  # set by Relay on a subclass

    def handle(self):
        client = self.request
        start = time.monotonic()
        head, early_body = read_request_head(client)
        if head is None:
            return
        exchange = Exchange()
        delay = self.relay.take_delay()
        if delay:
            self.relay.wait(delay)
        try:
            node = socket.create_connection(self.relay.node_address, timeout=10)
        except OSError:
            self.relay.record(start, "node unreachable", "")
            return
        client_gone = False
        with node:
            node.sendall(with_connection_close(head) + early_body)
            self._note_method(exchange, early_body)
            client_gone = self._relay(client, node, exchange)
        failure = judge(exchange, client_gone)
        if delay and not failure:
            failure = "slow (%.1f s)" % delay  # an outage as far as the miner's hashing goes
        self.relay.record(start, failure, exchange.method)

    @staticmethod
    def _note_method(exchange, request_bytes):
        if not exchange.method:
            match = re.search(rb'"method"\s*:\s*"([^"]*)"', request_bytes[:4096])
            if match:
                exchange.method = match.group(1).decode(errors="replace")

    def _relay(self, client, node, exchange):
        """Copies bytes both ways until the node closes; True when the miner hung up first."""
        sockets = [client, node]
        while True:
            readable, _, _ = select.select(sockets, [], [], 1.0)
            for source in readable:
                try:
                    data = source.recv(65536)
                except OSError:
                    data = b""
                if source is client:
                    if not data:
                        return True
                    self._note_method(exchange, data)
                    node.sendall(data)
                    continue
                if not data:
                    return False
                if len(exchange.reply) < MAX_KEPT_REPLY:
                    exchange.reply += data[: MAX_KEPT_REPLY - len(exchange.reply)]
                exchange.reply_bytes += len(data)
                try:
                    client.sendall(data)
                except OSError:
                    return True
