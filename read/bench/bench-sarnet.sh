#!/usr/bin/env bash
# bench-sarnet.sh [build-dir]: times Sarnet against GnuTLS's p11tool and
# OpenSC's pkcs11-tool listing the certificates of one SoftHSM token that
# holds 500 certificates, all three through the same p11-kit server, and
# prints the ratios.  Needs hyperfine, openssl, softhsm2, p11-kit, gnutls-bin
# and opensc.
set -euo pipefail

build=${1:-build}
build=$(cd "$build" && pwd)
count=${SARNET_BENCH_CERTS:-500}
runs=${SARNET_BENCH_RUNS:-20}

softhsm=/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so
client=/usr/lib/x86_64-linux-gnu/pkcs11/p11-kit-client.so
for tool in hyperfine openssl softhsm2-util p11-kit p11tool pkcs11-tool; do
  command -v "$tool" >/dev/null || { echo "bench-sarnet: $tool missing; skipped"; exit 0; }
done
[ -x "$build/bin/Sarnet" ] || { echo "bench-sarnet: $build/bin/Sarnet not built; skipped"; exit 0; }

work=$(mktemp -d /tmp/bench-sarnet.XXXXXX)
server_pid=""
cleanup() {
  if [ -n "$server_pid" ]; then kill "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# Sarnet writes its files beside itself: run a copy in a folder of its own.
mkdir -p "$work/app/bin" "$work/tokens" "$work/runtime" "$work/pki"
cp "$build/bin/Sarnet" "$work/app/bin/Sarnet"
ln -s "$build/lib" "$work/app/lib"

export SOFTHSM2_CONF=$work/softhsm2.conf
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
softhsm2-util --init-token --free --label bench --so-pin 12345678 --pin 1234 >/dev/null

# One CA and $count end-entity certificates, written to the token as public
# certificate objects with their subjects.
cd "$work/pki"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj "/C=JP/O=Bench/CN=Bench CA" -addext basicConstraints=critical,CA:TRUE 2>/dev/null
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ee.key 2>/dev/null
printf 'basicConstraints=CA:FALSE\n' >ee.ext
echo "bench-sarnet: making $count certificates"
for i in $(seq 1 "$count"); do
  openssl req -new -key ee.key -subj "/C=JP/O=Bench/OU=Unit $i/CN=User $i" -out ee.csr 2>/dev/null
  openssl x509 -req -in ee.csr -CA ca.pem -CAkey ca.key -set_serial "$i" -days 730 -extfile ee.ext \
    -outform DER -out "ee$i.der" 2>/dev/null
done
# The server in the foreground, in the background of this script, on a
# socket of our own; stopped by its PID at the end.
export XDG_RUNTIME_DIR=$work/runtime
p11-kit server -f --sh -n "$work/runtime/sock" --provider "$softhsm" "pkcs11:token=bench" >"$work/server.out" 2>&1 &
server_pid=$!
export P11_KIT_SERVER_ADDRESS=unix:path=$work/runtime/sock
for _ in $(seq 1 50); do [ -S "$work/runtime/sock" ] && break; sleep 0.1; done

# Written through the server, which keeps the token loaded between the
# writes.
echo "bench-sarnet: writing them to the token"
for i in $(seq 1 "$count"); do
  pkcs11-tool --module "$client" --login --pin 1234 \
    --write-object "ee$i.der" --type cert --id "$(printf '%04x' "$i")" --label "user$i" >/dev/null 2>&1
done

# Sanity: Sarnet sees every certificate.
"$work/app/bin/Sarnet" "$client" || { echo "bench-sarnet: Sarnet failed ($?)"; cat "$work/app/bin/Morva.txt"; exit 1; }
lines=$(wc -l <"$work/app/bin/certRead.txt")
[ "$lines" -eq $((count * 4)) ] || { echo "bench-sarnet: expected $((count * 4)) lines, got $lines"; exit 1; }

# compare <label> <module>: the three listings through one module.
compare() {
  local label=$1 module=$2
  echo "bench-sarnet: $label ($module)"
  hyperfine -N --warmup 3 --runs "$runs" --export-json "$work/$label.json" \
    -n Sarnet "$work/app/bin/Sarnet $module" \
    -n p11tool "p11tool --provider $module --list-all-certs" \
    -n pkcs11-tool "pkcs11-tool --module $module --list-objects --type cert"
  python3 - "$work/$label.json" "$label" <<'PY'
import json, sys
r = {x["command"]: x["mean"] for x in json.load(open(sys.argv[1]))["results"]}
s = r["Sarnet"]
peer = min(r["p11tool"], r["pkcs11-tool"])
for name in ("p11tool", "pkcs11-tool"):
    print(f"bench-sarnet: {sys.argv[2]}: Sarnet / {name} = {s / r[name]:.3f}")
print(f"bench-sarnet: {sys.argv[2]}: Sarnet / faster peer = {s / peer:.3f} (target <= 0.5)")
PY
}

# Through p11-kit's server, as the tests run the programs.
compare p11-kit-server "$client"

# Straight on SoftHSM in each process, through our fault module without
# rules (it only hides SoftHSM's spare uninitialised token): no RPC.
fault=$build/lib/libfaultp11.so
if [ -f "$fault" ]; then
  export FAULTP11_TARGET=$softhsm
  compare softhsm-direct "$fault"
fi
