#!/usr/bin/env python3
"""Starts tests/rpc/http_test_server.py on behalf of test executables that run under Wine.

A Windows program under Wine cannot start a Linux program and read its output, so the script
that runs the Windows tests starts this launcher on the Linux side and hands its port to the
tests (VELTRANE_HTTP_LAUNCHER_PORT). It listens on 127.0.0.1, prints its port on the first line
and serves one command line per connection, answering with one line:

  start ipv4|ipv6 SCRIPT_JSON   ->  "PORT ID DIRECTORY"  (DIRECTORY holds the script and the
                                    requests/ folder the server records into), or "error TEXT"
  stop ID                       ->  "stopped" once that server has ended

Servers still running when the launcher ends follow it (they watch their parent).
"""

import os
import socketserver
import subprocess
import sys
import tempfile
import threading

SERVER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "rpc", "http_test_server.py")


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        words = self.rfile.readline().decode().rstrip("\r\n").split(" ", 2)
        if words[0] == "start" and len(words) == 3:
            answer = self.server.start(words[1], words[2])
        elif words[0] == "stop" and len(words) == 2:
            answer = self.server.stop(words[1])
        else:
            answer = "error unknown command"
        self.wfile.write((answer + "\n").encode())


class Launcher(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.lock = threading.Lock()
        self.servers = {}

    def start(self, family, script):
        directory = tempfile.mkdtemp(prefix="veltrane-http-")
        script_path = os.path.join(directory, "script.json")
        with open(script_path, "w") as script_file:
            script_file.write(script)
        os.mkdir(os.path.join(directory, "requests"))
        server = subprocess.Popen([sys.executable, SERVER, script_path, os.path.join(directory, "requests"), family],
                                  stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        port = server.stdout.readline().decode().strip()
        if not port:
            server.wait()
            return "error the test HTTP server did not start"
        with self.lock:
            self.servers[str(server.pid)] = server
        return "%s %d %s" % (port, server.pid, directory)

    def stop(self, server_id):
        with self.lock:
            server = self.servers.pop(server_id, None)
        if server is not None:
            server.terminate()
            server.wait()
        return "stopped"


def main():
    launcher = Launcher()
    print(launcher.server_address[1], flush=True)
    launcher.serve_forever()


if __name__ == "__main__":
    main()
