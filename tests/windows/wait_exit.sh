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
