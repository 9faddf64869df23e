#!/usr/bin/env bash
# The Windows executable under Wine mining for the local test pool over TLS (SChannel) on Winsock:
# the executable and the kernel in one folder, that folder the working directory, the pools given
# on the command line. The first pool's pin does not match its certificate, which is refused with
# its reason; the second, the same pool pinned right, mines until the pool has accepted three
# shares. Reads the monitoring API, then presses Ctrl-C and checks the miner's counts against the
# pool's. Last, with the test CA among the Wine prefix's trusted roots, the pool's certificate
# passes the chain and name check without a pin.
#   pool_e2e.sh MINER_EXE KERNEL_FILE TESTPOOL_DIR     (WINEPREFIX set by the caller)
set -euo pipefail
# shellcheck source=server_e2e.sh
source "$(dirname "$0")/server_e2e.sh"
miner_exe=$1
kernel_file=$2
testpool_dir=$3
wanted_shares=3
start_seconds=240  # kernel build on a CPU OpenCL device under Wine included
worker=tvtr1ql58gw3ecx3a9y5fstph3q44qrv6x73uh09k7tf


pool_figure() {
  python3 "$testpool_dir/control.py" --url "$url" summary | python3 -c "import json, sys; s = json.load(sys.stdin); print($1)"
}

# A test CA and the pool's certificate for localhost and 127.0.0.1, made for this run. RSA keys:
# Wine's chain check refused some certificates signed with an EC key as badly signed
# (0x80096004), depending on the signature made for the run.
key_options=(-newkey rsa:2048 -nodes)
(cd "$work" &&
  openssl req -x509 "${key_options[@]}" -keyout ca.key -out ca.pem -days 2 -subj "/CN=Veltrane test CA" &&
  openssl req "${key_options[@]}" -keyout pool.key -out pool.csr -subj /CN=localhost &&
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >pool.ext &&
  openssl x509 -req -in pool.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 -extfile pool.ext -out pool.pem
) >/dev/null 2>&1 || fail "openssl could not make the test certificates"
fingerprint=$(openssl x509 -in "$work/pool.pem" -noout -fingerprint -sha256 | cut -d= -f2)
fingerprint_hex=$(printf '%s' "$fingerprint" | tr -d : | tr 'A-F' 'a-f')
wrong_pin=$(printf 'a%.0s' $(seq 64))

start_server stratum+tcp python3 "$testpool_dir/testpool.py" --port 0 --tls-cert "$work/pool.pem" --tls-key "$work/pool.key"
tls_url=$(grep -o 'stratum+ssl://127\.0\.0\.1:[0-9]*' "$work/server.log" | head -n 1)
[ -n "$tls_url" ] || fail "the test pool printed no TLS URL"
make_miner_folder "$miner_exe" "$kernel_file"

cd "$folder"
VELTRANE_DEVICE_TYPE=all VELTRANE_TEST_TIMINGS=pool_first_reconnect_pause=0.1,pool_longest_reconnect_pause=0.2 \
  wine veltrane-miner.exe -u "$worker" -p x -G 256 -L 64 --api-listen 0 \
  -o "$tls_url" --tls-fingerprint "$wrong_pin" -o "$tls_url" --tls-fingerprint "$fingerprint" \
  >"$work/miner.log" 2>&1 </dev/null &
miner_pid=$!

deadline=$((SECONDS + start_seconds))
while [ "$(grep -cE 'Share [0-9]+ accepted' "$work/miner.log" || true)" -lt "$wanted_shares" ]; do
  kill -0 "$miner_pid" 2>/dev/null || fail "the miner ended by itself"
  [ $SECONDS -lt $deadline ] || fail "fewer than $wanted_shares shares accepted in ${start_seconds}s"
  sleep 0.5
done

# The API of the Windows executable in pool mining: the pool in place of the node, and at least
# the shares the console counted so far.
api_url=$(grep -o 'API listening on http://127\.0\.0\.1:[0-9]*' "$work/miner.log" | head -n 1 | sed 's/API listening on //')
[ -n "$api_url" ] || fail "no \"API listening\" line"
refused="Pool $tls_url: TLS certificate does not match the pinned fingerprint; the pool's certificate has SHA-256 $fingerprint_hex"
grep -qF "$refused" "$work/miner.log" || fail "no line refusing the wrong pin with the certificate's fingerprint"
python3 - "$api_url" "$tls_url" "$(grep -cE 'Share [0-9]+ accepted' "$work/miner.log")" <<'PYTHON' || fail "the API's summary"
import json, sys, urllib.request
api_url, pool_url, accepted_before = sys.argv[1], sys.argv[2], int(sys.argv[3])
summary = json.load(urllib.request.urlopen(api_url + "/api/summary", timeout=30))
assert summary["node"] is None, summary["node"]
pool = summary["pool"]
assert pool["url"] == pool_url and pool["connected"] is True, pool
assert [(p["tls"], p["pinned"], p["active"]) for p in pool["pools"]] == [(True, True, False), (True, True, True)], pool
assert pool["shares"]["accepted"] >= accepted_before, pool
assert summary["devices"][0]["shares"]["accepted"] == pool["shares"]["accepted"], summary
PYTHON

stop_miner
grep -q 'Share rejected' "$work/miner.log" && fail "the pool rejected a share"

# Every share the miner counted as accepted is one the pool accepted, and no more.
accepted=$(grep -cE 'Share [0-9]+ accepted' "$work/miner.log")
grep -q "  \[\*\] Done\. [0-9]* hashes, $accepted shares accepted, 0 rejected, 0 blocks" "$work/miner.log" ||
  fail "no \"Done.\" line with $accepted shares accepted after Ctrl-C"
pool_accepted=$(pool_figure "len(s['accepted'])")
[ "$pool_accepted" -eq "$accepted" ] || fail "the miner reports $accepted accepted shares, the pool $pool_accepted"
[ "$(pool_figure "s['workers']")" = "['$worker']" ] || fail "the pool saw another worker name or a refused connection"

# The test CA as a trusted root of the prefix's user (the registry's form of a stored
# certificate: property 0x20 holds its DER bytes), removed again on exit.
ca_key=$(python3 - "$work/ca.pem" "$work/ca.reg" <<'PYTHON'
import hashlib, ssl, struct, sys
der = ssl.PEM_cert_to_DER_cert(open(sys.argv[1]).read())
key = "HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\" + hashlib.sha1(der).hexdigest().upper()
blob = struct.pack("<III", 0x20, 1, len(der)) + der
with open(sys.argv[2], "w") as reg:
    reg.write('REGEDIT4\n\n[%s]\n"Blob"=hex:%s\n' % (key, ",".join("%02x" % byte for byte in blob)))
print(key)
PYTHON
)
trap 'wine reg delete "$ca_key" /f >/dev/null 2>&1 || true; cleanup' EXIT
wine regedit /S "$(winepath -w "$work/ca.reg")" || fail "the test CA could not be added to the Wine prefix"
by_name=stratum+ssl://localhost:${tls_url##*:}
: >"$work/miner.log"
VELTRANE_DEVICE_TYPE=all wine veltrane-miner.exe -u "$worker" -p x -G 256 -L 64 -o "$by_name" \
  >"$work/miner.log" 2>&1 </dev/null &
miner_pid=$!
deadline=$((SECONDS + start_seconds))
until grep -qE 'Share [0-9]+ accepted' "$work/miner.log"; do
  kill -0 "$miner_pid" 2>/dev/null || fail "the miner ended by itself on $by_name"
  grep -q 'TLS certificate refused' "$work/miner.log" && fail "the certificate was refused with the test CA trusted"
  [ $SECONDS -lt $deadline ] || fail "no share accepted over TLS with the chain checked in ${start_seconds}s"
  sleep 0.5
done
stop_miner
grep -q "Pool $by_name: connected" "$work/miner.log" || fail "no connection to $by_name"

echo "mined under Wine over TLS: $accepted shares accepted by the test pool with a pinned certificate," \
  "then with the chain checked; stopped by Ctrl-C"
