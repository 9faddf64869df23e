#!/usr/bin/env python3
"""A local Stratum pool for the miner's end-to-end tests: jobs from the test node's chain.

Speaks Stratum v1 (one JSON object per line over TCP) on a loopback address,
checks every share in full and prints one line per decision. The first line
printed is "testpool: listening on stratum+tcp://HOST:PORT". Test controls
arrive on the same port as JSON-RPC lines (methods "test_..."); control.py
sends them. With --tls-cert and --tls-key the same pool is served over TLS on
a port of its own as well, printed next as "testpool: listening on
stratum+ssl://HOST:PORT".
"""

import argparse
import json
import os
import socket
import socketserver
import ssl
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "testnode"))
sys.path.insert(0, HERE)

from chainstate import DIFFICULTY_BITS, ChainState, NodeConfig  # noqa: E402
from pool import ERROR_MESSAGES, PoolState, ShareError  # noqa: E402
from server import serve_until_signalled  # noqa: E402

LONGEST_LINE = 1 << 20


class Client:
    """One miner's connection: its extranonce1, difficulty and state."""

    def __init__(self, pool, sock, extranonce1):
        self.pool = pool
        self.sock = sock
        self.extranonce1 = extranonce1
        self.subscribed = False
        self.authorized = False
        self.extranonce_updates = False
        self.difficulty = pool.state.difficulty
        self.job_difficulty = {}  # job id -> the difficulty in force when the job was sent
        self.send_lock = threading.Lock()
        self.deaf = threading.Event()  # set: nothing more is read from this miner
        self.closed = threading.Event()
        # After a set_extranonce: [request id, previous extranonce1] until the miner answers the
        # request sent behind it. Shares that fail under the new extranonce1 are judged under the
        # previous one until then, since the miner may have made them before it saw the change.
        self.extranonce_change = None

    def send(self, message):
        if self.pool.silent:
            return
        self.send_raw(json.dumps(message, separators=(",", ":")) + "\n")

    def send_raw(self, text):
        with self.send_lock:
            try:
                self.sock.sendall(text.encode())
            except OSError:
                pass

    def send_job(self, job):
        self.job_difficulty[job.job_id] = self.difficulty
        self.send({"id": None, "method": "mining.notify", "params": job.notify_params()})

    def close(self):
        try:
            self.sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def flood(self, requests):
        """Sends lines as fast as the socket takes them, until it closes: requests that want an
        answer, or notifications that change nothing (the difficulty in force)."""
        request_id = 1000
        try:
            while not self.closed.is_set():
                lines = []
                for _ in range(1000):
                    if requests:
                        lines.append('{"id":%d,"method":"mining.ping","params":[]}\n' % request_id)
                        request_id += 1
                    else:
                        lines.append('{"id":null,"method":"mining.set_difficulty","params":[%r]}\n' % self.difficulty)
                with self.send_lock:
                    self.sock.sendall("".join(lines).encode())
        except OSError:
            pass
        finally:
            self.closed.set()  # a deaf connection learns of the miner's close only here


class Pool:
    """The listening socket, the clients and the faults that can be injected."""

    def __init__(self, state, host, port, log, tls_context=None):
        self.state = state
        self.log = log
        self.lock = threading.RLock()
        self.clients = []
        self.sessions = {}  # subscription id -> extranonce1, so a reconnecting miner may resume
        self.next_extranonce1 = 1
        self.silent = False
        self.rejections = []  # [code, message, remaining] applied to the next shares
        # Faults of the subscription: [extranonce1, extranonce2 size] answered instead of the
        # connection's own (jobs then follow at once, authorized or not), and a close right
        # after the subscribe answer.
        self.subscribe_answer = None
        self.close_after_subscribe = False
        # A client.reconnect to this very pool right after every subscribe answer.
        self.reconnect_after_subscribe = False
        self.refuse_workers = False
        self.ignore_submits = False  # shares are counted but never answered
        self.counts = {"subscribes": 0, "resumed": 0, "authorizes": 0, "garbage_answers": 0, "submits": 0,
                       "extranonce_changes": 0}
        self.next_request_id = 1000000
        self.workers = []
        self.job = state.new_job(clean=True)
        pool = self

        class Handler(socketserver.StreamRequestHandler):
            def handle(self):
                pool.serve(self.request, self.rfile)

        class TlsHandler(socketserver.StreamRequestHandler):
            def setup(self):
                # The handshake on the connection's own thread: a client that refuses the
                # certificate, or speaks no TLS, holds up no one else.
                self.request = tls_context.wrap_socket(self.request, server_side=True)
                super().setup()

            def handle(self):
                pool.serve(self.request, self.rfile)

            def finish(self):
                try:
                    super().finish()
                except OSError:
                    pass

        class Server(socketserver.ThreadingTCPServer):
            daemon_threads = True
            allow_reuse_address = True

            def handle_error(self, request, client_address):
                log("testpool: connection from %s:%d ended: %s" % (client_address[0], client_address[1],
                                                                   sys.exc_info()[1]))

        self.server = Server((host, port), Handler)
        self.url = "stratum+tcp://%s:%d" % self.server.server_address[:2]
        self.tls_server = None
        if tls_context is not None:
            self.tls_server = Server((host, 0), TlsHandler)
            self.tls_url = "stratum+ssl://%s:%d" % self.tls_server.server_address[:2]

    # Connections

    def serve(self, sock, reader):
        with self.lock:
            extranonce1 = self.next_extranonce1.to_bytes(4, "big")
            self.next_extranonce1 += 1
            client = Client(self, sock, extranonce1)
            self.clients.append(client)
        try:
            while not client.deaf.is_set():
                line = reader.readline(LONGEST_LINE)
                if not line:
                    return
                self.handle_line(client, line.decode(errors="replace").strip())
            client.closed.wait()
        except OSError:
            return
        finally:
            client.closed.set()
            with self.lock:
                if client in self.clients:
                    self.clients.remove(client)

    def handle_line(self, client, line):
        if not line:
            return
        try:
            message = json.loads(line)
            method = message.get("method")
            params = message.get("params", [])
            request_id = message.get("id")
        except (ValueError, AttributeError):
            # Answered as a JSON-RPC parse error, as many pools do: an HTTP client sent here by
            # mistake gets a Stratum line back instead of waiting.
            self.log("testpool: not a JSON object: %r" % line[:80])
            client.send({"id": None, "result": None, "error": [20, "Parse error", None]})
            return
        if isinstance(method, str) and method.startswith("test_"):
            self.control(client, request_id, method, params)
            return
        if method == "mining.submit" and self.ignore_submits:
            with self.lock:
                self.counts["submits"] += 1
            self.log("testpool: share left unanswered")
            return
        if method is None and ("result" in message or "error" in message):
            # An answer to one of the pool's own requests.
            with self.lock:
                if client.extranonce_change and client.extranonce_change[0] == request_id:
                    client.extranonce_change = None
            return
        try:
            result = self.request(client, method, params)
            client.send({"id": request_id, "result": result, "error": None})
        except ShareError as error:
            client.send({"id": request_id, "result": None, "error": [error.code, error.message, None]})
        self.after_request(client, method)

    def request(self, client, method, params):
        if method == "mining.subscribe":
            with self.lock:
                self.counts["subscribes"] += 1
                session = params[1] if isinstance(params, list) and len(params) > 1 else None
                if session in self.sessions:
                    client.extranonce1 = self.sessions[session]
                    self.counts["resumed"] += 1
                session = client.extranonce1.hex()
                self.sessions[session] = client.extranonce1
            client.subscribed = True
            if self.subscribe_answer is not None:
                return [[["mining.notify", session]]] + list(self.subscribe_answer)
            return [[["mining.set_difficulty", session], ["mining.notify", session]],
                    client.extranonce1.hex(), self.state.extranonce2_size]
        if method == "mining.authorize":
            with self.lock:
                self.counts["authorizes"] += 1
                self.workers.append(params[0] if isinstance(params, list) and params else None)
            if self.refuse_workers:
                raise ShareError(24)
            client.authorized = True
            return True
        if method == "mining.extranonce.subscribe":
            client.extranonce_updates = True
            return True
        if method == "mining.submit":
            with self.lock:
                self.counts["submits"] += 1
            return self.submit(client, params)
        raise ShareError(20, "Method not found")

    def after_request(self, client, method):
        # The usual order of a pool: the answer to authorize, then the difficulty and a job (even
        # to a refused worker, as careless pools do). A pool with a broken subscribe answer sends
        # them at once.
        if method == "mining.authorize" or (method == "mining.subscribe" and self.subscribe_answer is not None):
            client.send({"id": None, "method": "mining.set_difficulty", "params": [client.difficulty]})
            client.send_job(self.job)
        if method == "mining.subscribe" and self.close_after_subscribe:
            client.close()
        if method == "mining.subscribe" and self.reconnect_after_subscribe:
            client.send({"id": None, "method": "client.reconnect", "params": list(self.server.server_address[:2]) + [0]})

    def submit(self, client, params):
        if not client.subscribed:
            raise ShareError(25)
        if not client.authorized:
            raise ShareError(24)
        with self.lock:
            if self.rejections:
                code, message, remaining = self.rejections[0]
                if remaining <= 1:
                    self.rejections.pop(0)
                else:
                    self.rejections[0][2] -= 1
                self.state.rejected.append({"code": code, "message": message, "params": params, "injected": True})
                self.log("testpool: share rejected on request: %d %s" % (code, message))
                raise ShareError(code, message)
        job_id = params[1] if isinstance(params, list) and len(params) > 1 else None
        difficulty = client.job_difficulty.get(job_id, client.difficulty)
        try:
            previous = client.extranonce_change[1] if client.extranonce_change else None
            result = self.state.check_share(client.extranonce1, difficulty, params, previous)
        except ShareError as error:
            self.log("testpool: share rejected: %d %s" % (error.code, error.message))
            raise
        self.log("testpool: share accepted from %s (hash %s)%s" % (
            client.extranonce1.hex(), result.pow_hash.hex(), ", a block" if result.is_block else ""))
        if result.is_block:
            self.log("testpool: block %s" % ("accepted by the chain" if result.block_reason is None
                                             else "refused by the chain: %s" % result.block_reason))
            if result.block_reason is None:
                self.broadcast_job(clean=True)
        return True

    # Jobs and faults

    def broadcast_job(self, clean, log=True):
        with self.lock:
            self.job = self.state.new_job(clean)
            clients = list(self.clients)
        for client in clients:
            if client.authorized:
                client.send_job(self.job)
        if log:
            self.log("testpool: job %s%s" % (self.job.job_id, " (clean)" if clean else ""))
        return self.job.job_id

    def control(self, client, request_id, method, params):
        try:
            result = self.run_control(method, params if isinstance(params, list) else [])
            client.send_raw(json.dumps({"id": request_id, "result": result, "error": None}) + "\n")
        except (ValueError, TypeError, IndexError, KeyError) as error:
            client.send_raw(json.dumps({"id": request_id, "result": None, "error": [-1, str(error), None]}) + "\n")

    def change_extranonces(self):
        """A new extranonce1 for every miner that takes updates, then the current job again."""
        changed = 0
        for client in self.miners():
            if client.extranonce_updates:
                with self.lock:
                    client.extranonce_change = [self.next_request_id, client.extranonce1]
                    self.next_request_id += 1
                    client.extranonce1 = self.next_extranonce1.to_bytes(4, "big")
                    self.next_extranonce1 += 1
                client.send({"id": None, "method": "mining.set_extranonce",
                             "params": [client.extranonce1.hex(), self.state.extranonce2_size]})
                client.send_job(self.job)
                client.send({"id": client.extranonce_change[0], "method": "client.get_version", "params": []})
                changed += 1
        with self.lock:
            self.counts["extranonce_changes"] += 1
        return changed

    def miners(self):
        with self.lock:
            return [c for c in self.clients if c.subscribed]

    def run_control(self, method, params):
        if method == "test_summary":
            summary = self.state.summary()
            with self.lock:
                summary.update(self.counts)
                summary["workers"] = list(self.workers)
                summary["connected"] = len([c for c in self.clients if c.subscribed])
                summary["silent"] = self.silent
            summary["chain"] = self.state.chain.summary()
            return summary
        if method == "test_newjob":
            return self.broadcast_job(clean=bool(params[0]) if params else False)
        if method == "test_newjobs":
            # COUNT jobs that are not clean, back to back, as a pool that refreshes its work too
            # often; one log line for all of them.
            count = int(params[0]) if params else 1000
            last = self.job.job_id
            for _ in range(count):
                last = self.broadcast_job(clean=False, log=False)
            self.log("testpool: %d jobs, the last %s" % (count, last))
            return last
        if method == "test_newblock":
            self.state.chain.advance_tip(1)
            return self.broadcast_job(clean=True)
        if method == "test_difficulty":
            difficulty = float(params[0])
            if not difficulty > 0:
                raise ValueError("difficulty must be above 0")
            self.state.difficulty = difficulty
            for client in self.miners():
                client.difficulty = difficulty
                client.send({"id": None, "method": "mining.set_difficulty", "params": [difficulty]})
            return self.broadcast_job(clean=True)
        if method == "test_disconnect":
            miners = self.miners()
            for client in miners:
                client.close()
            self.log("testpool: disconnected %d miners" % len(miners))
            return len(miners)
        if method == "test_forgetjobs":
            self.state.forget_jobs()
            self.log("testpool: every job handed out so far is stale now")
            return True
        if method == "test_reconnect":
            port = params[0] if params else None
            wait = params[1] if len(params) > 1 else 0
            host = params[2] if len(params) > 2 else None
            for client in self.miners():
                client.send({"id": None, "method": "client.reconnect",
                             "params": [host or self.server.server_address[0],
                                        port or self.server.server_address[1], wait]})
            return True
        if method == "test_garbage":
            lines = params[0] if params else ["this is not json", "{\"id\": 1, \"result\": ", "[1,2,3]",
                                               "{\"id\":null,\"method\":\"mining.notify\",\"params\":[\"x\"]}"]
            for client in self.miners():
                client.send_raw("".join(line + "\n" for line in lines))
            return len(lines)
        if method == "test_silent":
            self.silent = bool(params[0]) if params else True
            self.log("testpool: silent %s" % ("on" if self.silent else "off"))
            return self.silent
        if method == "test_rejectnext":
            code = int(params[0])
            count = int(params[1]) if len(params) > 1 else 1
            message = params[2] if len(params) > 2 else ERROR_MESSAGES.get(code, "Rejected")
            with self.lock:
                self.rejections.append([code, message, count])
            return True
        if method == "test_message":
            for client in self.miners():
                client.send({"id": None, "method": "client.show_message", "params": [str(params[0])]})
            return True
        if method == "test_flood":
            # Requests: the pool stops reading, so the miner's answers pile up on its side.
            requests = params[0] == "requests" if params else True
            miners = self.miners()
            for client in miners:
                if requests:
                    client.deaf.set()
                threading.Thread(target=client.flood, args=(requests,), daemon=True).start()
            kind = "requests" if requests else "notifications"
            self.log("testpool: flooding %d miners with %s" % (len(miners), kind))
            return len(miners)
        if method == "test_subscribeanswer":
            self.subscribe_answer = list(params[:2]) if params else None
            return self.subscribe_answer
        if method == "test_closeaftersubscribe":
            self.close_after_subscribe = bool(params[0]) if params else True
            return self.close_after_subscribe
        if method == "test_reconnectaftersubscribe":
            self.reconnect_after_subscribe = bool(params[0]) if params else True
            return self.reconnect_after_subscribe
        if method == "test_ignoresubmits":
            self.ignore_submits = bool(params[0]) if params else True
            return self.ignore_submits
        if method == "test_refuseworkers":
            self.refuse_workers = bool(params[0]) if params else True
            return self.refuse_workers
        if method == "test_jobidprefix":
            self.state.job_id_prefix = str(params[0]) if params else ""
            return self.broadcast_job(clean=True)
        if method == "test_setextranonce":
            # COUNT changes INTERVAL seconds apart; the first at once, the others in the background.
            count = int(params[0]) if params else 1
            interval = float(params[1]) if len(params) > 1 else 0.0
            changed = self.change_extranonces()
            if count > 1:
                def go_on():
                    for _ in range(count - 1):
                        time.sleep(interval)
                        self.change_extranonces()
                threading.Thread(target=go_on, daemon=True).start()
            return changed
        raise ValueError("unknown control method %s" % method)


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="testpool.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=3333, help="0 for a free one (default 3333)")
    parser.add_argument("--difficulty", type=float, default=1.0 / 4096,
                        help="share difficulty (default 1/4096: one hash in about 2^19 is a share)")
    parser.add_argument("--bits", default="hard", help="the chain's target: easy, hard or compact bits as hex")
    parser.add_argument("--transactions", type=int, default=3, help="transactions in each job besides the coinbase")
    parser.add_argument("--extranonce2-size", type=int, default=4)
    parser.add_argument("--no-witness-commitment", action="store_true")
    parser.add_argument("--tls-cert", help="PEM certificate (chain) to serve TLS with, on a port of its own")
    parser.add_argument("--tls-key", help="PEM private key of --tls-cert")
    return parser.parse_args(argv)


def main(argv=None):
    arguments = parse_arguments(argv)
    bits = DIFFICULTY_BITS.get(arguments.bits)
    if bits is None:
        bits = int(arguments.bits, 16)
    if not arguments.difficulty > 0:
        print("testpool: the difficulty must be above 0", file=sys.stderr)
        return 2

    def log(line):
        print(line, flush=True)

    chain = ChainState(NodeConfig(bits=bits, transaction_count=arguments.transactions,
                                  witness_commitment=not arguments.no_witness_commitment, fee_check=False),
                       log=log)
    state = PoolState(chain, difficulty=arguments.difficulty, extranonce2_size=arguments.extranonce2_size, log=log)
    tls_context = None
    if arguments.tls_cert:
        tls_context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls_context.load_cert_chain(arguments.tls_cert, arguments.tls_key)
    try:
        pool = Pool(state, arguments.host, arguments.port, log, tls_context)
    except OSError as error:
        print("testpool: cannot listen on %s port %d: %s" % (arguments.host, arguments.port, error),
              file=sys.stderr, flush=True)
        return 1
    log("testpool: listening on %s" % pool.url)
    if pool.tls_server is not None:
        log("testpool: listening on %s" % pool.tls_url)
        threading.Thread(target=pool.tls_server.serve_forever, daemon=True).start()
    log("testpool: difficulty %g, chain bits %08x, extranonce2 %d bytes" % (
        arguments.difficulty, bits, arguments.extranonce2_size))

    serve_until_signalled(pool.server)
    summary = state.summary()
    log("testpool: stopped; %d shares accepted, %d rejected, %d blocks"
        % (len(summary["accepted"]), len(summary["rejected"]), len(summary["blocks"])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
