#!/usr/bin/env python3
"""Client of the test pool's controls, from Python and from the command line.

    python3 tools/testpool/control.py --url stratum+tcp://127.0.0.1:PORT COMMAND [ARGS]

Commands: summary, newjob [clean], newjobs COUNT, newblock, difficulty D, disconnect, forgetjobs,
reconnect [PORT [WAIT [HOST]]], garbage, silent on|off, rejectnext CODE [COUNT [MESSAGE]],
message TEXT, setextranonce [COUNT [INTERVAL]], flood [requests|notifications], subscribeanswer [EXTRANONCE1 SIZE],
closeaftersubscribe on|off, reconnectaftersubscribe on|off, refuseworkers on|off, ignoresubmits on|off,
jobidprefix TEXT, waitshares N [--timeout S].
HOST, TEXT and the prefix may hold escapes such as \x1b; SIZE is JSON (4, 33, "4").
The result is printed as JSON; exit code 1 for an error answer, 2 when the pool does not
answer, 3 when a wait times out.
"""

import argparse
import json
import socket
import sys
import time
import urllib.parse


class ControlError(Exception):
    pass


class PoolControl:
    def __init__(self, url, timeout=30):
        parts = urllib.parse.urlsplit(url)
        self.address = (parts.hostname or "127.0.0.1", parts.port or 3333)
        self.timeout = timeout

    def call(self, method, *params):
        with socket.create_connection(self.address, timeout=self.timeout) as sock:
            sock.sendall((json.dumps({"id": 1, "method": method, "params": list(params)}) + "\n").encode())
            reader = sock.makefile("rb")
            while True:
                line = reader.readline()
                if not line:
                    raise ControlError("the pool closed the connection without an answer")
                answer = json.loads(line)
                if answer.get("id") == 1:
                    break
        if answer.get("error"):
            raise ControlError(answer["error"][1])
        return answer["result"]

    def summary(self):
        return self.call("test_summary")

    def wait_until(self, ready, timeout):
        """Polls the summary until ready(summary) holds; the last summary, or None on time-out."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                summary = self.summary()
                if ready(summary):
                    return summary
            except OSError:
                pass
            if time.monotonic() >= deadline:
                return None
            time.sleep(0.2)


def on(text):
    return text == "on"


def escaped(text):
    """Text with backslash escapes (\\x1b, \\n) turned into the characters they name."""
    return text.encode("latin-1", "backslashreplace").decode("unicode_escape")


COMMANDS = {
    "summary": ("test_summary", []),
    "newjob": ("test_newjob", [lambda text: text == "clean"]),
    "newjobs": ("test_newjobs", [int]),
    "newblock": ("test_newblock", []),
    "difficulty": ("test_difficulty", [float]),
    "disconnect": ("test_disconnect", []),
    "forgetjobs": ("test_forgetjobs", []),
    "reconnect": ("test_reconnect", [int, int, escaped]),
    "garbage": ("test_garbage", []),
    "silent": ("test_silent", [on]),
    "rejectnext": ("test_rejectnext", [int, int, str]),
    "message": ("test_message", [str]),
    "setextranonce": ("test_setextranonce", [int, float]),
    "flood": ("test_flood", [str]),
    "subscribeanswer": ("test_subscribeanswer", [escaped, json.loads]),
    "closeaftersubscribe": ("test_closeaftersubscribe", [on]),
    "reconnectaftersubscribe": ("test_reconnectaftersubscribe", [on]),
    "refuseworkers": ("test_refuseworkers", [on]),
    "ignoresubmits": ("test_ignoresubmits", [on]),
    "jobidprefix": ("test_jobidprefix", [escaped]),
}


def main(argv=None):
    parser = argparse.ArgumentParser(prog="control.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--url", default="stratum+tcp://127.0.0.1:3333")
    parser.add_argument("--timeout", type=float, default=60.0, help="waitshares: seconds to wait")
    parser.add_argument("command", choices=sorted(list(COMMANDS) + ["waitshares"]))
    parser.add_argument("arguments", nargs="*")
    arguments = parser.parse_args(argv)
    control = PoolControl(arguments.url)
    try:
        if arguments.command == "waitshares":
            wanted = int(arguments.arguments[0])
            result = control.wait_until(lambda s: len(s["accepted"]) >= wanted, arguments.timeout)
            if result is None:
                print("control: fewer than %d shares accepted in %g s" % (wanted, arguments.timeout), file=sys.stderr)
                return 3
        else:
            method, converters = COMMANDS[arguments.command]
            params = [convert(text) for convert, text in zip(converters, arguments.arguments)]
            result = control.call(method, *params)
    except ControlError as error:
        print("control: %s" % error, file=sys.stderr)
        return 1
    except OSError as error:
        print("control: no answer from %s: %s" % (arguments.url, error), file=sys.stderr)
        return 2
    print(json.dumps(result, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
