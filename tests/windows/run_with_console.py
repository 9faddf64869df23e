#!/usr/bin/env python3
"""Runs a command on a pseudo-terminal, so that a Windows program under Wine gets a console.

    run_with_console.py COMMAND [ARGS...]

Exits with the command's exit code and prints its output, with the terminal control
sequences of Wine's console taken out, when that code is not 0.
"""

import os
import pty
import re
import sys


def main():
    pid, terminal = pty.fork()
    if pid == 0:
        os.execvp(sys.argv[1], sys.argv[1:])
    output = bytearray()
    while True:
        try:
            data = os.read(terminal, 4096)
        except OSError:  # the terminal closes with the command
            break
        if not data:
            break
        output.extend(data)
    code = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
    if code != 0:
        text = re.sub(rb"\x1b\[\?25[hl]", b"", bytes(output))  # cursor hidden and shown around each write
        # Wine's console moves the cursor over blanks instead of writing them.
        text = re.sub(rb"\x1b\[K\x1b\[(\d*)C", lambda m: b" " * int(m.group(1) or 1), text)
        text = re.sub(rb"\x1b\[[0-9;?]*[A-Za-z]", b"", text).decode(errors="replace")
        sys.stdout.write(text)
    sys.exit(code)


if __name__ == "__main__":
    main()
