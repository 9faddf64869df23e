# Sourced by the Wine test scripts.
# wait_exit PID SECONDS: waits up to SECONDS for the background process PID of this shell to end
# and sets exit_code to its exit code, or to "" when it still runs.
wait_exit() {
  exit_code=""
  for _ in $(seq $(($2 * 10))); do
    if ! kill -0 "$1" 2>/dev/null; then
      exit_code=0
      wait "$1" || exit_code=$?
      return 0
    fi
    sleep 0.1
  done
}

# send_ctrl_c PID: Ctrl-C for the Windows program that Wine runs as PID. Wine turns SIGINT into the
# console's CTRL_C_EVENT, but only on a thread of its own: a signal for the whole process may land
# on a thread that the OpenCL runtime (PoCL, a Linux library) started outside Wine, where Wine's
# handler crashes the process. So the signal goes to the process's first thread, Windows' main
# thread, as tgkill(2) with the thread ID equal to the process ID.
send_ctrl_c() {
  python3 -c 'import ctypes, signal, sys
pid = int(sys.argv[1])
libc = ctypes.CDLL(None, use_errno=True)
if libc.tgkill(pid, pid, int(signal.SIGINT)) != 0:
    sys.exit("tgkill: errno %d" % ctypes.get_errno())' "$1"
}
