#!/usr/bin/env python3
"""Scriptable HTTP server for the node client's tests.

Usage: http_test_server.py SCRIPT RECORD_DIR [ipv6]

SCRIPT is a JSON array; its n-th entry answers the n-th request:
  {"action": "reply", "status": 200, "body_hex": "...", "chunked": false}
  {"action": "close"}     read the request, then close the connection without answering
  {"action": "hang"}      read the request and never answer
  {"action": "truncate", "status": 200, "body_hex": "...", "chunked": false}
                          announce a longer body than is sent, send it, close; chunked: send
                          the body's chunks without the last (empty) chunk, close
  {"action": "endless"}   a chunked 200 reply that never ends, until the client hangs up
  {"action": "oversized"} announce a body of 65 MiB, send a little of it, close
  {"action": "raw", "body_hex": "..."}
                          the bytes alone, no status line (another protocol, such as a Stratum
                          pool's line), and the connection kept open until the client hangs up
Requests beyond the script get a 500 reply. Every request's bytes as received (head and body)
are written to RECORD_DIR/request-NNNN before it is answered; bytes that do not form an HTTP
request head are recorded all the same. The server listens on 127.0.0.1, or on ::1 when the
third argument is "ipv6", and prints its port on the first line.
"""

import json
import os
import socket
import socketserver
import sys
import threading
import time

MAX_HEAD = 1 << 16


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        raw = self.read_request()
        with self.server.lock:
            index = self.server.count
            self.server.count += 1
        path = os.path.join(self.server.record_dir, "request-%04d" % index)
        with open(path + ".tmp", "wb") as out:
            out.write(raw)
        os.replace(path + ".tmp", path)

        script = self.server.script
        entry = script[index] if index < len(script) else {"status": 500, "body_hex": ""}
        action = entry.get("action", "reply")
        if action == "close":
            return
        if action == "hang":
            time.sleep(3600)
            return
        body = bytes.fromhex(entry.get("body_hex", ""))
        if action == "raw":
            self.request.sendall(body)
            self.request.settimeout(3600)
            while self.request.recv(4096):
                pass
            return
        status = entry.get("status", 200)
        head = "HTTP/1.1 %d Scripted\r\nContent-Type: application/json\r\nConnection: close\r\n" % status
        if action == "endless":
            self.send_endless(head)
        elif action == "oversized":
            head += "Content-Length: %d\r\n\r\n" % (65 << 20)
            self.request.sendall(head.encode() + b"{" * 1000)
        elif entry.get("chunked"):
            head += "Transfer-Encoding: chunked\r\n\r\n"
            pieces = [body[i:i + 7] for i in range(0, len(body), 7)]
            encoded = b"".join(b"%x\r\n%s\r\n" % (len(p), p) for p in pieces)
            last_chunk = b"" if action == "truncate" else b"0\r\n\r\n"
            self.request.sendall(head.encode() + encoded + last_chunk)
        elif action == "truncate":
            head += "Content-Length: %d\r\n\r\n" % (len(body) + 100)
            self.request.sendall(head.encode() + body)
        else:
            head += "Content-Length: %d\r\n\r\n" % len(body)
            self.request.sendall(head.encode() + body)

    def send_endless(self, head):
        chunk = b"%x\r\n%s\r\n" % (1 << 16, b" " * (1 << 16))
        try:
            self.request.sendall((head + "Transfer-Encoding: chunked\r\n\r\n").encode())
            while True:
                self.request.sendall(chunk)
        except OSError:
            pass  # the client hung up, as it should

    def read_request(self):
        """Reads the head and a body of the announced length; stops early on anything else."""
        data = b""
        self.request.settimeout(5)
        try:
            while b"\r\n\r\n" not in data and len(data) < MAX_HEAD:
                chunk = self.request.recv(65536)
                if not chunk:
                    return data
                data += chunk
                if not data[:1].isalpha():
                    return data  # not HTTP (a TLS handshake, say): record it and hang up
            head, _, body = data.partition(b"\r\n\r\n")
            length = 0
            for line in head.split(b"\r\n")[1:]:
                name, _, value = line.partition(b":")
                if name.strip().lower() == b"content-length":
                    length = int(value.strip())
            while len(body) < length:
                chunk = self.request.recv(65536)
                if not chunk:
                    break
                body += chunk
            return head + b"\r\n\r\n" + body
        except (socket.timeout, ValueError, ConnectionError):
            return data


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


class Server6(Server):
    address_family = socket.AF_INET6


def exit_with_parent():
    """Ends the server when the test that started it is gone, however it ended."""
    parent = os.getppid()
    while os.getppid() == parent:
        time.sleep(0.5)
    os._exit(0)


def main():
    with open(sys.argv[1]) as script_file:
        script = json.load(script_file)
    if len(sys.argv) > 3 and sys.argv[3] == "ipv6":
        server = Server6(("::1", 0), Handler)
    else:
        server = Server(("127.0.0.1", 0), Handler)
    server.script = script
    server.record_dir = sys.argv[2]
    server.lock = threading.Lock()
    server.count = 0
    threading.Thread(target=exit_with_parent, daemon=True).start()
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
