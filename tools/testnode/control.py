#!/usr/bin/env python3
"""Client of the test node: its JSON-RPC methods from Python, and a command line for scripts.

    python3 tools/testnode/control.py [--url URL] [--user U] [--password P] COMMAND [ARGS]

Commands: summary, advancetip [N], failnext MODE [N] [--method M] [--message TEXT]
[--code N] [--field KEY], settarget easy|hard|bits=HEX|target=HEX, rejectall on|off,
newcookie, template, besthash, wait [--timeout S], waitblocks N [--timeout S]. The result is printed
as JSON; an error goes to stderr with exit code 1 (RPC error), 2 (no answer) or 3 (the
wait timed out).
"""

import argparse
import base64
import http.client
import json
import sys
import time
import urllib.parse

DEFAULT_URL = "http://127.0.0.1:8899"


class RpcError(Exception):
    def __init__(self, code, message):
        super().__init__("RPC error %s: %s" % (code, message))
        self.code = code
        self.message = message


class NodeClient:
    def __init__(self, url=DEFAULT_URL, user="veltrane", password="veltrane", timeout=30):
        parts = urllib.parse.urlsplit(url)
        self.host = parts.hostname or "127.0.0.1"
        self.port = parts.port or 80
        self.path = parts.path or "/"
        self.timeout = timeout
        token = base64.b64encode(("%s:%s" % (user, password)).encode()).decode()
        self.authorization = "Basic " + token

    def post(self, body, authorization=None):
        """Sends one raw POST; returns (HTTP status, body bytes)."""
        connection = http.client.HTTPConnection(self.host, self.port, timeout=self.timeout)
        try:
            connection.request("POST", self.path, body, {
                "Content-Type": "application/json",
                "Authorization": authorization if authorization is not None else self.authorization,
            })
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def call(self, method, *params):
        body = json.dumps({"jsonrpc": "1.0", "id": "control", "method": method, "params": list(params)})
        status, reply = self.post(body.encode())
        if status == 401:
            raise RpcError(401, "wrong user or password")
        try:
            decoded = json.loads(reply)
        except ValueError:
            raise RpcError(status, "HTTP %d with a body that is not JSON: %r" % (status, reply[:200])) from None
        if decoded.get("error"):
            raise RpcError(decoded["error"].get("code"), decoded["error"].get("message"))
        return decoded.get("result")

    def template(self):
        return self.call("getblocktemplate", {"rules": ["segwit"]})

    def best_block_hash(self):
        return self.call("getbestblockhash")

    def submit_block(self, block_hex):
        return self.call("submitblock", block_hex)

    def summary(self):
        return self.call("test_summary")

    def advance_tip(self, count=1):
        return self.call("test_advancetip", count)

    def fail_next(self, mode, count=1, **options):
        """Options: method, message, code (rpc-error), field (missing-field)."""
        plan = {"mode": mode, "count": count}
        plan.update({name: value for name, value in options.items() if value is not None})
        body = json.dumps({"jsonrpc": "1.0", "id": "control", "method": "test_failnext", "params": plan})
        status, reply = self.post(body.encode())
        decoded = json.loads(reply)
        if decoded.get("error"):
            raise RpcError(decoded["error"]["code"], decoded["error"]["message"])
        return decoded["result"]

    def set_target(self, choice):
        """choice: "easy", "hard", {"bits": "HEX"} or {"target": "HEX"}."""
        return self.call("test_settarget", choice)

    def set_reject_all(self, reject_all):
        return self.call("test_setrejectall", bool(reject_all))

    def new_cookie(self):
        return self.call("test_newcookie")

    def wait_until(self, ready, timeout):
        """Polls test_summary until ready(summary) holds; returns the last summary, or None on time-out.

        A node that does not answer yet (still starting) counts as not ready.
        """
        deadline = time.monotonic() + timeout
        summary = None
        while True:
            try:
                summary = self.summary()
                if ready(summary):
                    return summary
            except (OSError, http.client.HTTPException):
                pass
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.1)


def _target_choice(text):
    if text in ("easy", "hard"):
        return text
    name, _, value = text.partition("=")
    if name in ("bits", "target") and value:
        return {name: value}
    raise argparse.ArgumentTypeError("easy, hard, bits=HEX or target=HEX")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="control.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", default=DEFAULT_URL)
    parser.add_argument("--user", default="veltrane")
    parser.add_argument("--password", default="veltrane")
    commands = parser.add_subparsers(dest="command", required=True)
    commands.add_parser("summary", help="what the node received and decided")
    advance = commands.add_parser("advancetip", help="move the tip as if another miner found blocks")
    advance.add_argument("count", nargs="?", type=int, default=1)
    fail = commands.add_parser("failnext", help="make the next requests fail")
    fail.add_argument("mode", choices=("http-500", "rpc-error", "close", "missing-field", "cut-short", "cut-chunked",
                                       "endless", "hang", "html", "reject"))
    fail.add_argument("count", nargs="?", type=int, default=1)
    fail.add_argument("--method", help="only requests of this method fail")
    fail.add_argument("--message", help="rpc-error: the error message; reject: the reason")
    fail.add_argument("--code", type=int, help="rpc-error: the error code; html: the HTTP status")
    fail.add_argument("--field", help="missing-field: the template key left out")
    target = commands.add_parser("settarget", help="change the target of the templates")
    target.add_argument("choice", type=_target_choice)
    reject = commands.add_parser("rejectall", help="reject every block, or stop doing so")
    reject.add_argument("switch", choices=("on", "off"))
    commands.add_parser("newcookie", help="write new cookie credentials, as a restarted node does")
    commands.add_parser("template", help="fetch a block template")
    commands.add_parser("besthash", help="the tip's hash")
    wait = commands.add_parser("wait", help="wait until the node answers")
    wait.add_argument("--timeout", type=float, default=10.0)
    wait_blocks = commands.add_parser("waitblocks", help="wait until the node has accepted N blocks")
    wait_blocks.add_argument("count", type=int)
    wait_blocks.add_argument("--timeout", type=float, default=60.0)
    return parser.parse_args(argv)


class WaitTimedOut(Exception):
    pass


def run(arguments, client):
    command = arguments.command
    if command == "summary":
        return client.summary()
    if command == "advancetip":
        return client.advance_tip(arguments.count)
    if command == "failnext":
        return client.fail_next(arguments.mode, arguments.count, method=arguments.method,
                                message=arguments.message, code=arguments.code, field=arguments.field)
    if command == "settarget":
        return client.set_target(arguments.choice)
    if command == "rejectall":
        return client.set_reject_all(arguments.switch == "on")
    if command == "newcookie":
        return client.new_cookie()
    if command == "template":
        return client.template()
    if command in ("wait", "waitblocks"):
        wanted = arguments.count if command == "waitblocks" else 0
        summary = client.wait_until(lambda s: len(s["accepted"]) >= wanted, arguments.timeout)
        if summary is None:
            raise WaitTimedOut("%s within %g seconds" % (
                "fewer than %d blocks accepted" % wanted if wanted else "no answer", arguments.timeout))
        return summary
    return client.best_block_hash()


def main(argv=None):
    arguments = parse_arguments(argv)
    client = NodeClient(arguments.url, arguments.user, arguments.password)
    try:
        result = run(arguments, client)
    except RpcError as error:
        print("control: %s" % error, file=sys.stderr)
        return 1
    except (OSError, http.client.HTTPException) as error:
        print("control: no answer from %s: %s" % (arguments.url, error), file=sys.stderr)
        return 2
    except WaitTimedOut as error:
        print("control: %s" % error, file=sys.stderr)
        return 3
    print(json.dumps(result, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
