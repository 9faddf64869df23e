#!/usr/bin/env bash
# The Windows executable under Wine against the local test node, set up the way a Windows user
# runs it: the executable and the kernel in one folder, that folder the working directory, the
# RPC credentials in veltrane-miner.conf there (written with CRLF line ends, as Notepad does): the
# node's cookie file. After the first block the node writes new cookie credentials, as it does
# when it restarts; the miner must take them without a failed template. Mines until the node has
# accepted two blocks, reads the monitoring API (summary and metrics, the metrics through
# prometheus_client's parser), then presses Ctrl-C (Wine
# turns SIGINT into the console's CTRL_C_EVENT) and checks the miner's wind-down and the node's
# count. The configuration file also asks for a log file with a 1 KiB limit: another Windows
# program reads it and renames it while the miner writes, and it is rotated.
#   mining_e2e.sh MINER_EXE KERNEL_FILE TESTNODE_DIR     (WINEPREFIX set by the caller)
set -euo pipefail
# shellcheck source=server_e2e.sh
source "$(dirname "$0")/server_e2e.sh"
miner_exe=$1
kernel_file=$2
testnode_dir=$3
wanted_blocks=2
start_seconds=240  # kernel build on a CPU OpenCL device under Wine included
payout_address=tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf

start_server http python3 "$testnode_dir/testnode.py" --port 0 --cookie-file "$work/.cookie"
make_miner_folder "$miner_exe" "$kernel_file"
printf 'rpc_user=nobody\r\nrpc_cookie=%s\r\nlog_file=rig.log\r\nlog_max_mb=0.001\r\n' "$(winepath -w "$work/.cookie")" \
  >"$folder/veltrane-miner.conf"

cd "$folder"
# Two PoCL devices, each on a thread of its own, beside the node's two connections (requests and
# the longpoll).
# The log file's status line every second instead of every minute.
VELTRANE_TEST_TIMINGS=status_log_interval=1 VELTRANE_DEVICE_TYPE=all POCL_DEVICES="pthread pthread" \
  wine veltrane-miner.exe -o "$url" -a "$payout_address" -G 256 -L 64 -d all --api-listen 0 \
  >"$work/miner.log" 2>&1 </dev/null &
miner_pid=$!

accepted=0
new_cookie_written=""
deadline=$((SECONDS + start_seconds))
while [ "$accepted" -lt "$wanted_blocks" ]; do
  kill -0 "$miner_pid" 2>/dev/null || fail "the miner ended by itself"
  [ $SECONDS -lt $deadline ] || fail "fewer than $wanted_blocks blocks accepted in ${start_seconds}s"
  sleep 0.5
  accepted=$(grep -c 'ACCEPTED' "$work/miner.log" || true)
  if [ "$accepted" -ge 1 ] && [ -z "$new_cookie_written" ]; then
    python3 "$testnode_dir/control.py" --url "$url" newcookie >/dev/null || fail "no new cookie"
    new_cookie_written=yes
    wanted_blocks=$((accepted + 2))
  fi
done

# The API of the Windows executable: the summary counts what the console counted so far, and the
# metrics parse.
api_url=$(grep -o 'API listening on http://127\.0\.0\.1:[0-9]*' "$work/miner.log" | head -n 1 | sed 's/API listening on //')
[ -n "$api_url" ] || fail "no \"API listening\" line"
python3 - "$api_url" "$(grep -c 'ACCEPTED' "$work/miner.log")" <<'PYTHON' || fail "the API's summary"
import json, sys, urllib.request
url, accepted_before = sys.argv[1], int(sys.argv[2])
summary = json.load(urllib.request.urlopen(url + "/api/summary", timeout=30))
assert summary["totals"]["blocks_accepted"] >= accepted_before, summary["totals"]
devices = summary["devices"]
assert [device["index"] for device in devices] == [0, 1], devices
assert all(device["hashes"] > 0 for device in devices), devices
assert sum(device["hashes"] for device in devices) == summary["totals"]["hashes"], summary
assert summary["node"]["reachable"] is True, summary["node"]
PYTHON
python3 -c 'import sys, urllib.request; sys.stdout.write(urllib.request.urlopen(sys.argv[1] + "/metrics", timeout=30).read().decode())' \
  "$api_url" | /usr/bin/python3 "$(dirname "$0")/../api/parse_metrics.py" >"$work/metrics.json" ||
  fail "the API's metrics do not parse: $(cat "$work/metrics.json")"
grep -q '"veltrane_device_hashes_total"' "$work/metrics.json" || fail "no hash counter in the metrics"

# The 1 KiB log file has been rotated; the one open in the miner is read and renamed by Windows
# programs.
deadline=$((SECONDS + 60))
until [ -f rig.log.1 ]; do
  [ $SECONDS -lt $deadline ] || fail "the log file was not rotated"
  sleep 0.5
done
wine cmd /c copy rig.log log-copy.txt >"$work/log-read-error.txt" 2>&1 ||
  fail "the open log file could not be read: $(cat "$work/log-read-error.txt")"
grep -q ' \[\*\] ' log-copy.txt || fail "the log file read while open holds no lines"
wine cmd /c move rig.log rig-moved.log >/dev/null 2>&1 || fail "the open log file could not be renamed"

stop_miner
# Every log line starts with its time; none has a carriage return; the status line names each
# device's rates.
cat rig-moved.log rig.log* >"$work/log-all.txt"  # rig.log comes back at the next rotation
[ -s "$work/log-all.txt" ] || fail "no log file"
grep -q $'\r' "$work/log-all.txt" && fail "a carriage return in the log file"
grep -vqE '^[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}[+-][0-9]{2}:[0-9]{2} ' "$work/log-all.txt" &&
  fail "a log line without its time: $(grep -vE '^[0-9]{4}-' "$work/log-all.txt" | head -n 1)"
grep -qE '\[\*\] Status: .*; device 0: .*; device 1: ' "$work/log-all.txt" || fail "no status line with both devices"
grep -q 'REJECTED' "$work/miner.log" && fail "the node rejected a block"
grep -q '\[+\] 2 devices: 0 1' "$work/miner.log" || fail "the miner did not mine on both devices"
grep -q 'Invalid template' "$work/miner.log" && fail "a template request failed"

# Every block the miner counted as accepted is one the node accepted, and no more.
accepted=$(grep -c 'ACCEPTED' "$work/miner.log")
grep -q "  \[\*\] Done\. [0-9]* hashes, $accepted blocks" "$work/miner.log" ||
  fail "no \"Done.\" line with $accepted blocks after Ctrl-C"
grep -qF "  [*] Stopping after the current batch" "$work/miner.log" || fail "Ctrl-C was not acknowledged"
grep -q "  \[\*\] Ran [0-9]*:[0-9][0-9]:[0-9][0-9], average " "$work/miner.log" ||
  fail "no elapsed time and average rate after the \"Done.\" line"
node_accepted=$(python3 "$testnode_dir/control.py" --url "$url" summary |
  python3 -c 'import json, sys; print(len(json.load(sys.stdin)["accepted"]))')
[ "$node_accepted" -eq "$accepted" ] ||
  fail "the miner reports $accepted accepted blocks, the node $node_accepted"
echo "mined under Wine: $accepted blocks accepted by the test node, stopped by Ctrl-C"
