"""The node over HTTP: authentication, the JSON-RPC envelope, induced failures and the command lines."""

import contextlib
import http.client
import io
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import unittest

import testnode
from blockbuilder import build_block
from chainstate import ChainState, NodeConfig
from control import NodeClient, RpcError
from server import TestNode

HERE = os.path.dirname(os.path.abspath(__file__))


def envelope(method, params):
    # The request exactly as the miner writes it.
    return ('{"jsonrpc":"1.0","id":"m","method":"%s","params":%s}' % (method, params)).encode()


class ServerTest(unittest.TestCase):
    def setUp(self):
        self.node = TestNode(ChainState(NodeConfig()), port=0).start()
        self.addCleanup(self.node.stop)
        self.client = NodeClient(self.node.url)

    def post(self, body, authorization=None):
        return self.client.post(body, authorization)

    def test_mines_a_block_end_to_end(self):
        status, reply = self.post(envelope("getblocktemplate", '[{"rules":["segwit"]}]'))
        self.assertEqual(status, 200)
        decoded = json.loads(reply)
        self.assertEqual((decoded["error"], decoded["id"]), (None, "m"))
        template = decoded["result"]
        block_hex = build_block(template)
        status, reply = self.post(envelope("submitblock", '["%s"]' % block_hex))
        self.assertEqual((status, json.loads(reply)), (200, {"result": None, "error": None, "id": "m"}))
        best = self.client.best_block_hash()
        self.assertNotEqual(best, template["previousblockhash"])
        self.assertEqual(self.client.template()["previousblockhash"], best)
        self.assertEqual(self.client.submit_block(block_hex), "duplicate")
        summary = self.client.summary()
        self.assertEqual([b["height"] for b in summary["accepted"]], [101])
        self.assertEqual(summary["requests"]["submitblock"], 2)

    def test_wrong_or_missing_credentials_get_an_empty_401(self):
        for name, authorization in [("wrong password", "Basic dmVsdHJhbmU6bm9wZQ=="), ("none", ""),
                                    ("not base64", "Basic !!"), ("other scheme", "Bearer abc")]:
            with self.subTest(name):
                status, reply = self.post(envelope("getbestblockhash", "[]"), authorization)
                self.assertEqual((status, reply), (401, b""))
        self.assertEqual(self.client.summary()["unauthorized"], 4)

    def test_errors_in_the_envelope(self):
        cases = [
            ("unknown method", envelope("getblockcount", "[]"), 404, -32601, "Method not found"),
            ("not JSON", b"{", 500, -32700, "Parse error"),
            ("method missing", b'{"id":"m"}', 400, -32600, "Invalid Request object"),
            ("submitblock without block", envelope("submitblock", "[]"), 500, -1, None),
        ]
        for name, body, expected_status, code, message in cases:
            with self.subTest(name):
                status, reply = self.post(body)
                decoded = json.loads(reply)
                self.assertEqual(status, expected_status)
                self.assertIsNone(decoded["result"])
                self.assertEqual(decoded["error"]["code"], code)
                if message:
                    self.assertEqual(decoded["error"]["message"], message)

    def test_a_stratum_line_gets_a_status_line(self):
        host, port = self.node.httpd.server_address[:2]
        with socket.create_connection((host, port), timeout=30) as sock:
            sock.sendall(b'{"id":1,"method":"mining.subscribe","params":[]}\n')
            self.assertTrue(sock.makefile("rb").readline().startswith(b"HTTP/1.1 400 "))

    def test_a_fault_of_the_node_is_answered_as_an_internal_error(self):
        def broken():
            raise KeyError("tip")
        self.node.state.best_block_hash = broken
        status, reply = self.post(envelope("getbestblockhash", "[]"))
        self.assertEqual((status, json.loads(reply)["error"]["code"]), (500, -32603))
        self.assertEqual(self.client.summary()["height"], 101)

    def test_a_large_block_body_is_read_whole(self):
        node = TestNode(ChainState(NodeConfig(transaction_count=1200)), port=0).start()
        self.addCleanup(node.stop)
        client = NodeClient(node.url)
        block_hex = build_block(client.template())
        self.assertGreater(len(block_hex), 500_000)
        self.assertIsNone(client.submit_block(block_hex))

    def test_induced_failures(self):
        self.client.fail_next("http-500", 2, method="getbestblockhash")
        self.assertEqual(self.post(envelope("getblocktemplate", '[{"rules":["segwit"]}]'))[0], 200)
        for _ in range(2):
            self.assertEqual(self.post(envelope("getbestblockhash", "[]")), (500, b""))
        self.assertEqual(self.post(envelope("getbestblockhash", "[]"))[0], 200)

        self.client.fail_next("rpc-error", 1, message="Veltrane is downloading blocks...", code=-10)
        status, reply = self.post(envelope("getblocktemplate", '[{"rules":["segwit"]}]'))
        self.assertEqual(json.loads(reply)["error"], {"code": -10, "message": "Veltrane is downloading blocks..."})

        self.client.fail_next("close", 1)
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError)):
            self.post(envelope("submitblock", '["00"]'))

        self.client.fail_next("missing-field", 1, field="target")
        self.assertEqual(self.client.best_block_hash(), self.client.summary()["tip"])  # not a template: unaffected
        self.assertNotIn("target", self.client.template())
        self.assertIn("target", self.client.template())
        self.assertEqual(self.client.summary()["injected_failures"], 5)

    def test_induced_faults_in_how_the_reply_goes_out(self):
        template_request = envelope("getblocktemplate", '[{"rules":["segwit"]}]')

        def response_to(body):
            connection = http.client.HTTPConnection(self.client.host, self.client.port, timeout=5)
            self.addCleanup(connection.close)
            connection.request("POST", "/", body, {"Authorization": self.client.authorization})
            return connection.getresponse()

        for mode in ("cut-short", "cut-chunked"):
            with self.subTest(mode):
                self.client.fail_next(mode, 1, method="getblocktemplate")
                with self.assertRaises(http.client.IncompleteRead) as caught:
                    response_to(template_request).read()
                # Cut just before the witness commitment: the part that came is a plausible template.
                self.assertTrue(caught.exception.partial.endswith(b","), caught.exception.partial[-40:])
                self.assertIn(b'"height":101', caught.exception.partial)

        self.client.fail_next("endless", 1)
        response = response_to(template_request)
        self.assertEqual(response.getheader("Transfer-Encoding"), "chunked")
        self.assertEqual(len(response.read(4 << 20)), 4 << 20)
        response.close()

        self.client.fail_next("hang", 1, method="getbestblockhash")
        with self.assertRaises(socket.timeout):
            connection = http.client.HTTPConnection(self.client.host, self.client.port, timeout=0.5)
            self.addCleanup(connection.close)
            connection.request("POST", "/", envelope("getbestblockhash", "[]"),
                               {"Authorization": self.client.authorization})
            connection.getresponse()

        self.client.fail_next("html", 1)
        status, reply = self.post(template_request)
        self.assertEqual(status, 503)
        self.assertTrue(reply.startswith(b"<html>"))

        self.client.fail_next("reject", 1, message="bad-txnmrklroot")
        self.assertEqual(self.client.template()["height"], 101)  # not a submission: unaffected
        self.assertEqual(self.client.submit_block("00"), "bad-txnmrklroot")
        summary = self.client.summary()
        self.assertEqual(summary["height"], 101)
        # The forced rejection is a decision like any other.
        self.assertEqual(summary["rejected"][-1]["reason"], "bad-txnmrklroot")

    def test_cookie_credentials_change_with_each_new_cookie(self):
        directory = tempfile.TemporaryDirectory()
        self.addCleanup(directory.cleanup)
        cookie_path = os.path.join(directory.name, ".cookie")
        node = TestNode(ChainState(NodeConfig()), port=0, cookie_file=cookie_path).start()
        self.addCleanup(node.stop)

        def cookie_client():
            with open(cookie_path) as cookie:
                user, _, password = cookie.read().partition(":")
            return NodeClient(node.url, user, password)

        first = cookie_client()
        self.assertEqual(first.summary()["height"], 101)
        self.assertEqual(NodeClient(node.url).new_cookie(), cookie_path)  # user and password still work
        with self.assertRaises(RpcError) as caught:
            first.summary()
        self.assertEqual(caught.exception.code, 401)
        self.assertEqual(cookie_client().summary()["height"], 101)

    def test_control_methods_refuse_bad_arguments(self):
        calls = [("test_failnext", ["sometimes", 1]), ("test_failnext", ["close", -1]),
                 ("test_settarget", ["medium"]), ("test_settarget", [{"bits": "xyz"}]),
                 ("test_advancetip", [0]), ("test_setrejectall", ["yes"])]
        for method, params in calls:
            with self.subTest(method=method, params=params), self.assertRaises(RpcError) as caught:
                self.client.call(method, *params)
            self.assertEqual(caught.exception.code, -8)


def run_control(url, *arguments):
    return subprocess.run([sys.executable, os.path.join(HERE, "control.py"), "--url", url] + list(arguments),
                          capture_output=True, text=True, timeout=30)


class CommandLineTest(unittest.TestCase):
    def test_options_shape_the_node(self):
        cases = [
            ([], dict(bits=0x207FFFFF, target=None, transaction_count=3, witness_commitment=True,
                      fee_check=True, reject_all=False, start_height=101)),
            (["--difficulty", "hard"], dict(bits=0x1C00FFFF, target=None)),
            (["--bits", "1e0fffff"], dict(bits=0x1E0FFFFF, target=None)),
            (["--target", "00000fffff" + "f" * 54], dict(bits=0x1E0FFFFF, target=(0xFFFFF << 216) | (1 << 216) - 1)),
            (["--transactions", "0", "--height", "16", "--no-witness-commitment", "--reject-all"],
             dict(transaction_count=0, start_height=16, witness_commitment=False, reject_all=True)),
            (["--dev-fee-script", "0014" + "ab" * 20, "--no-fee-check"],
             dict(dev_fee_script=bytes.fromhex("0014" + "ab" * 20), fee_check=False)),
        ]
        for argv, expected in cases:
            with self.subTest(argv=argv):
                config = testnode.config_from(testnode.parse_arguments(argv))
                self.assertEqual({name: getattr(config, name) for name in expected}, expected)

    def test_bad_options_are_refused(self):
        for argv in (["--bits", "xyz"], ["--port", "70000"], ["--transactions", "-1"], ["--height", "0"],
                     ["--difficulty", "hard", "--bits", "1d00ffff"], ["--dev-fee-script", "0x14"]):
            with self.subTest(argv=argv), self.assertRaises(SystemExit), \
                    contextlib.redirect_stderr(io.StringIO()):
                testnode.parse_arguments(argv)
        result = subprocess.run([sys.executable, os.path.join(HERE, "testnode.py"), "--host", "192.0.2.1"],
                                capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 1)
        self.assertIn("loopback addresses only", result.stderr)


    def test_node_and_control_from_the_command_line(self):
        process = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "testnode.py"), "--port", "0", "--difficulty", "hard",
             "--user", "alice", "--password", "secret"],
            stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.stdout.close)
        self.addCleanup(process.kill)
        first_line = process.stdout.readline().split()
        self.assertEqual(first_line[:3], ["testnode:", "listening", "on"])
        url = first_line[3]
        self.assertIn("alice", process.stdout.readline())

        summary = run_control(url, "--user", "alice", "--password", "secret", "advancetip", "2")
        self.assertEqual(summary.returncode, 0, summary.stderr)
        self.assertEqual(json.loads(summary.stdout)["height"], 103)
        self.assertEqual(json.loads(summary.stdout)["bits"], "1c00ffff")
        refused = run_control(url, "summary")
        self.assertEqual(refused.returncode, 1)
        self.assertIn("wrong user or password", refused.stderr)

        process.send_signal(signal.SIGTERM)
        rest = process.stdout.read()
        self.assertEqual(process.wait(timeout=10), 0)
        self.assertIn("tip advanced", rest)
        self.assertIn("testnode: stopped; 0 blocks accepted, 0 rejected", rest)

    def test_node_keeps_serving_when_nobody_reads_its_output(self):
        process = subprocess.Popen([sys.executable, os.path.join(HERE, "testnode.py"), "--port", "0"],
                                   stdout=subprocess.PIPE, text=True)
        self.addCleanup(process.wait, 10)
        self.addCleanup(process.kill)
        url = process.stdout.readline().split()[-1]
        process.stdout.close()
        client = NodeClient(url)
        self.assertIsNone(client.submit_block(build_block(client.template())))
        self.assertEqual(len(client.summary()["accepted"]), 1)

    def test_control_reports_a_node_that_does_not_answer(self):
        result = run_control("http://127.0.0.1:1", "summary")
        self.assertEqual(result.returncode, 2)
        self.assertIn("no answer from http://127.0.0.1:1", result.stderr)
        result = run_control("http://127.0.0.1:1", "wait", "--timeout", "0.3")
        self.assertEqual((result.returncode, result.stderr), (3, "control: no answer within 0.3 seconds\n"))

    def test_waiting_for_accepted_blocks(self):
        node = TestNode(ChainState(NodeConfig()), port=0).start()
        self.addCleanup(node.stop)
        result = run_control(node.url, "waitblocks", "1", "--timeout", "0.2")
        self.assertEqual((result.returncode, result.stderr), (3, "control: fewer than 1 blocks accepted within 0.2 seconds\n"))
        client = NodeClient(node.url)
        client.submit_block(build_block(client.template()))
        result = run_control(node.url, "waitblocks", "1")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(json.loads(result.stdout)["accepted"][0]["height"], 101)


if __name__ == "__main__":
    unittest.main()
