#!/usr/bin/env python3
"""A local stand-in for the Veltrane full node, for the miner's end-to-end tests and the demo.

Serves getblocktemplate, getbestblockhash and submitblock over JSON-RPC on a
loopback address, checks every submitted block in full and prints one line
per decision. The first line printed is "testnode: listening on URL".
Test controls (test_advancetip, test_failnext, test_settarget,
test_setrejectall, test_newcookie, test_summary) are JSON-RPC methods too; control.py calls them.
"""

import argparse
import os
import queue
import socket
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import blocks  # noqa: E402
from chainstate import DEFAULT_DEV_FEE_SCRIPT, DIFFICULTY_BITS, ChainState, NodeConfig  # noqa: E402
from server import TestNode, serve_until_signalled  # noqa: E402

MAX_TRANSACTIONS = 5000


def _hex_number(limit):
    def parse(text):
        try:
            value = int(text, 16)
        except ValueError:
            raise argparse.ArgumentTypeError("not a hexadecimal number: %r" % text) from None
        if not 0 < value < limit:
            raise argparse.ArgumentTypeError("out of range: %r" % text)
        return value
    return parse


def _hex_bytes(text):
    try:
        return bytes.fromhex(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not hex bytes: %r" % text) from None


def _bounded(low, high):
    def parse(text):
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a number: %r" % text) from None
        if not low <= value <= high:
            raise argparse.ArgumentTypeError("must be %d to %d" % (low, high))
        return value
    return parse


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="testnode.py", description=__doc__.split("\n\n")[0])
    parser.add_argument("--host", default="127.0.0.1", help="loopback address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=_bounded(0, 65535), default=8899, help="port, 0 for a free one (default 8899)")
    parser.add_argument("--listen-fd", type=_bounded(3, 65535),
                        help="serve on this inherited socket, bound already by the parent, instead of --host/--port")
    parser.add_argument("--user", default="veltrane", help='RPC user (default "veltrane")')
    parser.add_argument("--password", default="veltrane", help='RPC password (default "veltrane")')
    parser.add_argument("--cookie-file", help="also accept the credentials written to this file, as the node's "
                        ".cookie; test_newcookie writes new ones")
    difficulty = parser.add_mutually_exclusive_group()
    difficulty.add_argument("--difficulty", choices=sorted(DIFFICULTY_BITS), default="easy",
                            help="easy: bits 207fffff, about every second hash; hard: bits 1c00ffff, one hash in 2^40")
    difficulty.add_argument("--bits", type=_hex_number(1 << 32), help="compact target, e.g. 1e0fffff")
    difficulty.add_argument("--target", type=_hex_number(1 << 256), help="full target as hex")
    parser.add_argument("--transactions", type=_bounded(0, MAX_TRANSACTIONS), default=3,
                        help="transactions in each template besides the coinbase (default 3)")
    parser.add_argument("--height", type=_bounded(1, 0x7FFFFFFF), default=101,
                        help="height of the first block to mine (default 101)")
    parser.add_argument("--no-witness-commitment", action="store_true",
                        help="templates without default_witness_commitment and without witness transactions")
    parser.add_argument("--reject-all", action="store_true", help='answer every block with "rejected"')
    parser.add_argument("--dev-fee-script", type=_hex_bytes, default=DEFAULT_DEV_FEE_SCRIPT,
                        help="output script the 1 %% developer fee must pay to")
    parser.add_argument("--longpoll-timeout", type=float, default=60.0,
                        help="longest hold of a getblocktemplate longpoll request in seconds (60)")
    parser.add_argument("--no-fee-check", action="store_true", help="do not require the developer-fee output")
    return parser.parse_args(argv)


def config_from(arguments):
    config = NodeConfig(
        bits=DIFFICULTY_BITS[arguments.difficulty],
        transaction_count=arguments.transactions,
        witness_commitment=not arguments.no_witness_commitment,
        reject_all=arguments.reject_all,
        longpoll_timeout=arguments.longpoll_timeout,
        dev_fee_script=arguments.dev_fee_script,
        fee_check=not arguments.no_fee_check,
        start_height=arguments.height,
    )
    if arguments.bits is not None:
        config.bits = arguments.bits
    if arguments.target is not None:
        config.bits, config.target = blocks.bits_from_target(arguments.target), arguments.target
    return config


class LineWriter:
    """Prints lines from a thread of its own.

    A reader that stops reading, or closes the pipe, then stalls or ends
    only this thread, never a request that wants to report a block.
    """

    def __init__(self, stream):
        self._stream = stream
        self._lines = queue.Queue()
        self._thread = threading.Thread(target=self._run, name="testnode-output", daemon=True)
        self._thread.start()

    def __call__(self, line):
        self._lines.put(line)

    def _run(self):
        while True:
            line = self._lines.get()
            if line is None:
                return
            try:
                self._stream.write(line + "\n")
                self._stream.flush()
            except (OSError, ValueError):
                return

    def close(self, timeout=2):
        self._lines.put(None)
        self._thread.join(timeout)


def main(argv=None):
    arguments = parse_arguments(argv)
    config = config_from(arguments)
    say = LineWriter(sys.stdout)
    state = ChainState(config, log=say)
    try:
        listen_socket = None if arguments.listen_fd is None else socket.socket(fileno=arguments.listen_fd)
        node = TestNode(state, arguments.host, arguments.port, arguments.user, arguments.password,
                        arguments.cookie_file, listen_socket)
    except (OSError, ValueError) as error:
        where = ("socket %d" % arguments.listen_fd if arguments.listen_fd is not None
                 else "%s port %d" % (arguments.host, arguments.port))
        print("testnode: cannot listen on %s: %s" % (where, error), file=sys.stderr, flush=True)
        return 1
    tip = state.summary()
    say("testnode: listening on %s" % node.url)
    say("testnode: rpc user %s password %s" % (arguments.user, arguments.password))
    if arguments.cookie_file:
        say("testnode: cookie file %s" % arguments.cookie_file)
    say("testnode: mining height %d on %s, bits %s, target %s, %d transactions%s%s"
        % (tip["height"], tip["tip"], tip["bits"], tip["target"], config.transaction_count,
           "" if config.witness_commitment else ", no witness commitment",
           ", rejecting every block" if config.reject_all else ""))

    serve_until_signalled(node.httpd)
    summary = state.summary()
    say("testnode: stopped; %d blocks accepted, %d rejected"
        % (len(summary["accepted"]), len(summary["rejected"])))
    say.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
