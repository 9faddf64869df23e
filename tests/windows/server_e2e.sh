# Sourced by the Wine scripts that run the Windows executable against a local test server (the
# test node or the test pool): a work folder, the server and the miner stopped and removed on
# exit, fail() with both outputs, starting the server, the miner's folder and stopping the miner.
# shellcheck source=wait_exit.sh
source "$(dirname "${BASH_SOURCE[0]}")/wait_exit.sh"

work=$(mktemp -d)
server_pid=""
miner_pid=""
cleanup() {
  if [ -n "$miner_pid" ]; then kill -KILL "$miner_pid" 2>/dev/null || true; fi
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "FAILED: $*"
  echo "--- miner output"; tr '\r' '\n' <"$work/miner.log" 2>/dev/null || true
  echo "--- server output"; cat "$work/server.log" 2>/dev/null || true
  exit 1
}

# start_server SCHEME COMMAND...: runs the server with its output in $work/server.log and sets url
# to the SCHEME://127.0.0.1:PORT it says it listens on.
start_server() {
  local scheme=$1
  shift
  "$@" >"$work/server.log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    grep -q "listening on $scheme://" "$work/server.log" && break
    kill -0 "$server_pid" 2>/dev/null || fail "the server did not start"
    sleep 0.1
  done
  url=$(grep -o "$scheme://127\.0\.0\.1:[0-9]*" "$work/server.log" | head -n 1)
  [ -n "$url" ] || fail "the server printed no URL"
}

# make_miner_folder MINER_EXE KERNEL_FILE: the executable and the kernel in one folder, as a
# Windows user keeps them; sets folder. The miner's log exists from here on, so that a script
# reading it before the miner's shell has opened it finds it empty rather than missing.
make_miner_folder() {
  folder=$work/miner
  mkdir "$folder"
  cp "$1" "$folder/veltrane-miner.exe"
  cp "$2" "$folder/whirlpool_opencl.cl"
  : >"$work/miner.log"
}

# stop_miner: presses Ctrl-C and requires the miner to end within a minute with exit code 0.
stop_miner() {
  send_ctrl_c "$miner_pid"
  wait_exit "$miner_pid" 60
  [ -n "$exit_code" ] || fail "the miner did not stop within a minute of Ctrl-C"
  miner_pid=""
  [ "$exit_code" -eq 0 ] || fail "the miner exited with $exit_code after Ctrl-C"
}
