"""JSON-RPC 1.0 over HTTP in front of a ChainState, with the test controls.

The answers follow the full node: Basic authentication with an empty 401,
JSON-RPC errors carried with HTTP 404 (unknown method), 400 (bad request
object) or 500 (every other error), compact JSON, one line per reply.
"""

import base64
import binascii
import ipaddress
import json
import os
import select
import signal
import socket
import threading
import time
from dataclasses import dataclass
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from chainstate import DIFFICULTY_BITS, RpcError

MAX_BODY_BYTES = 64 * 1024 * 1024
FAILURE_MODES = ("http-500", "rpc-error", "close", "missing-field", "cut-short", "cut-chunked", "endless", "hang",
                 "html", "reject")
# A hung request gives up on its client after this long at the latest.
HANG_SECONDS = 600
NODE_METHODS = ("getblocktemplate", "getbestblockhash", "submitblock")


@dataclass
class FailurePlan:
    """The next `remaining` matching requests fail in the way `mode` says."""

    mode: str
    remaining: int
    method: str = None  # None: any of the node's own methods
    message: str = "testnode: induced failure"
    code: int = -1
    field: str = "previousblockhash"

    def matches(self, method):
        if self.mode == "missing-field":
            return method == "getblocktemplate"
        if self.mode == "reject":
            return method == "submitblock"
        return method in NODE_METHODS and self.method in (None, method)


def _failure_plan(params):
    """A FailurePlan from [mode, count, extra] or {"mode", "count", "method", "message", "code", "field"}."""
    if isinstance(params, list):
        names = ("mode", "count", "extra")
        options = dict(zip(names, params))
        extra = options.pop("extra", None)
        if extra is not None:
            options["field" if options.get("mode") == "missing-field" else "message"] = extra
    else:
        options = dict(params)
    mode = options.get("mode")
    if mode not in FAILURE_MODES:
        raise RpcError(-8, "mode must be one of: " + ", ".join(FAILURE_MODES))
    count = options.get("count", 1)
    if not isinstance(count, int) or count < 0:
        raise RpcError(-8, "count must be a number of requests, 0 or more")
    method = options.get("method")
    if method is not None and method not in NODE_METHODS:
        raise RpcError(-8, "method must be one of: " + ", ".join(NODE_METHODS))
    plan = FailurePlan(mode, count, method)
    if mode == "html":
        plan.code = 503  # the HTTP status of the page, unless code says otherwise
    if mode == "reject":
        plan.message = "rejected"
    for name, kind in (("message", str), ("code", int), ("field", str)):
        if name in options:
            if not isinstance(options[name], kind):
                raise RpcError(-8, "%s must be a %s" % (name, "number" if kind is int else "string"))
            setattr(plan, name, options[name])
    return plan


class TestNode:
    """The HTTP server, the chain and the failure plan, started together."""

    def __init__(self, state, host="127.0.0.1", port=8899, user="veltrane", password="veltrane", cookie_file=None,
                 listen_socket=None):
        if listen_socket is not None:
            host = listen_socket.getsockname()[0]
        if host == "localhost":
            host = "127.0.0.1"
        if not ipaddress.ip_address(host).is_loopback:
            raise ValueError("the test node listens on loopback addresses only, not %s" % host)
        self.state = state
        self.credentials = ("%s:%s" % (user, password)).encode()
        self.cookie_file = cookie_file
        self.cookie_credentials = None
        if cookie_file:
            self.write_cookie()
        self._failure = None
        self._failure_lock = threading.Lock()
        handler = type("BoundRpcHandler", (RpcHandler,), {"node": self})
        server_class = _IPv6Server if ":" in host else ThreadingHTTPServer
        if listen_socket is None:
            self.httpd = server_class((host, port), handler)
        else:
            self.httpd = _serving_on(server_class, listen_socket, handler)
        self.httpd.daemon_threads = True
        self._thread = None

    @property
    def url(self):
        host, port = self.httpd.server_address[:2]
        return "http://%s:%d" % ("[%s]" % host if ":" in host else host, port)

    def start(self):
        """Serves on a background thread (for tests)."""
        # A short poll interval lets stop() return at once.
        self._thread = threading.Thread(target=self.httpd.serve_forever, args=(0.05,), name="testnode",
                                        daemon=True)
        self._thread.start()
        return self

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()
        if self._thread:
            self._thread.join(timeout=5)

    def write_cookie(self):
        """New cookie credentials, as the node writes at each start; the old ones stop working."""
        credentials = ("__cookie__:%s" % os.urandom(16).hex()).encode()
        temporary = self.cookie_file + ".tmp"
        with open(temporary, "wb") as cookie:
            cookie.write(credentials)
        os.replace(temporary, self.cookie_file)
        self.cookie_credentials = credentials
        return self.cookie_file

    def authorised(self, header):
        if not header or not header.startswith("Basic "):
            return False
        try:
            given = base64.b64decode(header[6:].strip(), validate=True)
        except (binascii.Error, ValueError):
            return False
        return given in (self.credentials, self.cookie_credentials)

    def take_failure(self, method):
        """The failure planned for this request, if any; uses up one of its count."""
        with self._failure_lock:
            plan = self._failure
            if plan is None or plan.remaining <= 0 or not plan.matches(method):
                return None
            plan.remaining -= 1
            self.state.count_injected_failure()
            return plan

    def call(self, method, params):
        """The result of one JSON-RPC method; raises RpcError."""
        state = self.state
        if isinstance(params, dict) and method != "test_failnext":
            raise RpcError(-8, "named parameters are not supported by %s; pass an array" % method)
        if method == "getblocktemplate":
            return state.block_template(params)
        if method == "getbestblockhash":
            return state.best_block_hash()
        if method == "submitblock":
            if not params or not isinstance(params[0], str):
                raise RpcError(-1, "submitblock needs the block as a hex string")
            return state.submit_block(params[0])
        if method == "test_advancetip":
            count = params[0] if params else 1
            if not isinstance(count, int) or not 1 <= count <= 1000:
                raise RpcError(-8, "count must be 1 to 1000")
            return state.advance_tip(count)
        if method == "test_failnext":
            plan = _failure_plan(params)
            with self._failure_lock:
                self._failure = plan
            return {"mode": plan.mode, "count": plan.remaining}
        if method == "test_settarget":
            return state.set_target(**_target_choice(params))
        if method == "test_setrejectall":
            if not params or not isinstance(params[0], bool):
                raise RpcError(-8, "test_setrejectall takes true or false")
            return state.set_reject_all(params[0])
        if method == "test_summary":
            return state.summary()
        if method == "test_newcookie":
            if not self.cookie_file:
                raise RpcError(-8, "the node was started without --cookie-file")
            return self.write_cookie()
        raise RpcError(-32601, "Method not found")


def _target_choice(params):
    choice = params[0] if params else None
    if isinstance(choice, str) and choice in DIFFICULTY_BITS:
        return {"bits": DIFFICULTY_BITS[choice]}
    if isinstance(choice, dict) and len(choice) == 1:
        (name, text), = choice.items()
        try:
            value = int(text, 16)
        except (TypeError, ValueError):
            value = -1
        if name == "bits" and 0 <= value <= 0xFFFFFFFF:
            return {"bits": value}
        if name == "target" and 0 < value < 1 << 256:
            return {"target": value}
    raise RpcError(-8, 'test_settarget takes "easy", "hard", {"bits": "HEX"} or {"target": "HEX"}')


def serve_until_signalled(server):
    """Serves until SIGTERM or SIGINT (each shuts the server down from a thread of its own, since
    shutdown waits for serve_forever to return), then closes the listening socket."""
    def stop(signal_number, frame):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    try:
        server.serve_forever()
    finally:
        server.server_close()


def _serving_on(server_class, listen_socket, handler):
    """A server on a socket that is bound already: its port was never free for anyone else."""
    httpd = server_class(listen_socket.getsockname(), handler, bind_and_activate=False)
    httpd.socket.close()
    httpd.socket = listen_socket
    httpd.server_name, httpd.server_port = httpd.server_address[:2]
    httpd.server_activate()
    return httpd


class _IPv6Server(ThreadingHTTPServer):
    address_family = socket.AF_INET6


def _status_for(code):
    return {-32601: 404, -32600: 400}.get(code, 500)


class RpcHandler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    # A request line without a version (a Stratum line sent here by mistake) is answered with a
    # status line and headers, as the coin's node does, not as a bare HTTP/0.9 error page.
    default_request_version = "HTTP/1.1"
    server_version = "veltrane-testnode/1.0"
    sys_version = ""
    node = None  # set by TestNode on a subclass

    def log_message(self, format, *args):
        pass

    def do_GET(self):
        self._send(405, b"")

    def do_POST(self):
        # The body is read before any answer: a socket closed with unread bytes in its receive
        # buffer sends a reset, which can reach the client before it has read the answer. These
        # two answers still close the connection, as the coin's node does.
        body = self._read_body()
        if body is None:
            return
        if self.path != "/" and not self.path.startswith("/wallet/"):
            self.close_connection = True
            self._send(404, b"")
            return
        if not self.node.authorised(self.headers.get("Authorization")):
            self.node.state.count_unauthorised()
            self.close_connection = True
            self._send(401, b"", {"WWW-Authenticate": 'Basic realm="jsonrpc"'})
            return
        status, reply, plan = self._answer(body)
        if plan is not None and plan.mode in STREAM_FAULTS:
            STREAM_FAULTS[plan.mode](self, json.dumps(reply, separators=(",", ":")).encode() + b"\n")
        elif plan is not None and plan.mode == "html":
            self._send(plan.code, b"<html><body><h1>%d Service Unavailable</h1></body></html>" % plan.code,
                       {"Content-Type": "text/html"})
        elif status is None:
            # An induced failure: drop the connection without a word.
            self.close_connection = True
        elif reply is None:
            self._send(status, b"")
        else:
            self._send(status, json.dumps(reply, separators=(",", ":")).encode() + b"\n",
                       {"Content-Type": "application/json"})

    def _answer(self, body):
        """(HTTP status, reply object or None for an empty body, the failure plan taken or None).

        Status None: close without answering. A plan of a mode in STREAM_FAULTS or "html" decides
        how the reply goes out.
        """
        try:
            request = json.loads(body)
        except (ValueError, UnicodeDecodeError):
            return 500, _reply(None, None, RpcError(-32700, "Parse error")), None
        if not isinstance(request, dict) or not isinstance(request.get("method"), str):
            return 400, _reply(None, None, RpcError(-32600, "Invalid Request object")), None
        request_id = request.get("id")
        method = request["method"]
        params = request.get("params", [])
        self.node.state.count_request(method)
        plan = self.node.take_failure(method)
        if plan is not None and plan.mode == "http-500":
            return 500, None, None
        if plan is not None and plan.mode == "close":
            return None, None, None
        if plan is not None and plan.mode == "rpc-error":
            return 500, _reply(request_id, None, RpcError(plan.code, plan.message)), None
        if plan is not None and plan.mode == "html":
            return None, None, plan
        if plan is not None and plan.mode == "reject":
            # The block is answered with the planned reason and not looked at, but the decision
            # is listed like any other.
            self.node.state.record_forced_rejection(params[0] if isinstance(params, list) and params else None,
                                                    plan.message)
            return 200, _reply(request_id, plan.message, None), None
        if not isinstance(params, (list, dict)):
            return 500, _reply(request_id, None, RpcError(-32600, "Params must be an array or object")), None
        try:
            result = self.node.call(method, params)
        except RpcError as error:
            return _status_for(error.code), _reply(request_id, None, error), plan
        except Exception as error:  # a fault of the node itself: answer it rather than drop the connection
            self.node.state.log("testnode: internal error in %s: %r" % (method, error))
            return 500, _reply(request_id, None, RpcError(-32603, "Internal error: %r" % error)), plan
        if plan is not None and plan.mode == "missing-field" and isinstance(result, dict):
            result.pop(plan.field, None)
        return 200, _reply(request_id, result, None), plan

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            return self._read_chunked()
        try:
            length = int(self.headers.get("Content-Length", "0"))
        except ValueError:
            length = -1
        if not 0 <= length <= MAX_BODY_BYTES:
            self._send(413 if length > 0 else 400, b"")
            return None
        return self.rfile.read(length)

    def _read_chunked(self):
        body = bytearray()
        while True:
            size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
            if size == 0:
                self.rfile.readline()
                return bytes(body)
            if len(body) + size > MAX_BODY_BYTES:
                self._send(413, b"")
                return None
            body += self.rfile.read(size)
            self.rfile.readline()

    def _send(self, status, body, headers=None):
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection:
            self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(body)


def _cut_point(body):
    """Where a cut reply ends: before the witness commitment when there is one (a block built on
    the rest would lack it), else in the middle."""
    position = body.find(b'"default_witness_commitment"')
    return position if position > 0 else len(body) // 2


def _send_cut_short(handler, body):
    """Announces the whole body, sends only its first part and closes."""
    handler.close_connection = True
    handler.send_response(200)
    handler.send_header("Content-Type", "application/json")
    handler.send_header("Content-Length", str(len(body)))
    handler.end_headers()
    handler.wfile.write(body[:_cut_point(body)])


def _start_chunked(handler):
    handler.close_connection = True
    handler.send_response(200)
    handler.send_header("Content-Type", "application/json")
    handler.send_header("Transfer-Encoding", "chunked")
    handler.end_headers()


def _send_cut_chunked(handler, body):
    """A chunked reply whose last chunk never comes: the connection closes after the first part."""
    _start_chunked(handler)
    part = body[:_cut_point(body)]
    handler.wfile.write(b"%x\r\n%s\r\n" % (len(part), part))


def _send_endless(handler, body):
    """A chunked reply that never ends (JSON white space after the answer), until the client hangs up."""
    _start_chunked(handler)
    padding = b"%x\r\n%s\r\n" % (1 << 16, b" " * (1 << 16))
    try:
        handler.wfile.write(b"%x\r\n%s\r\n" % (len(body), body))
        while True:
            handler.wfile.write(padding)
    except OSError:
        pass


def _hang(handler, body):
    """Never answers; ends when the client hangs up (or after HANG_SECONDS)."""
    handler.close_connection = True
    deadline = time.monotonic() + HANG_SECONDS
    try:
        while time.monotonic() < deadline:
            readable, _, _ = select.select([handler.connection], [], [], 1)
            if readable and not handler.connection.recv(4096):
                return
    except OSError:
        return


# Failure modes that decide how the bytes of a reply go out, if at all.
STREAM_FAULTS = {"cut-short": _send_cut_short, "cut-chunked": _send_cut_chunked, "endless": _send_endless,
                 "hang": _hang}


def _reply(request_id, result, error):
    error_object = {"code": error.code, "message": error.message} if error else None
    return {"result": result, "error": error_object, "id": request_id}
