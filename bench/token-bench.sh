#!/usr/bin/env bash
# token-bench.sh <build-dir> <result-dir>: the whole-program benchmarks on a
# SoftHSM2 token, timed by hyperfine; results as hyperfine JSON files in
# <result-dir> (velkor-<round>.json, sarnet-<round>.json, sarnet-slow.json),
# read by table.py.
#
#  - Renewal: Velkor against the same renewal done by hand with openssl +
#    pkcs11-tool and with openssl + p11tool.  Before every run the token
#    store goes back to the saved state (old certificate, its key pair and
#    the CA certificate) and the renewed PKCS#12 file is put back.
#  - The same renewal, Velkor against the pkcs11-tool pipeline, on
#    openCryptoki's software token and on NSS softoken
#    (renewal-opencryptoki-<round>.json, renewal-nss-<round>.json).
#  - The same renewal on a smart card: OpenSC over pcscd with the tests'
#    emulated IsoApplet card (card-bench.sh; renewal-card.json, and the
#    PKCS#11 calls and APDUs of each in card-counts.json).
#  - Listing: Sarnet against p11tool --list-all-certs and pkcs11-tool
#    --list-objects --type cert on a token holding $BENCH_SARNET_CERTS
#    end-entity certificates.
#
# Every program loads the same module: p11-kit-client.so, talking to
# p11-kit's server in front of SoftHSM2, as the tests do.  (libsofthsm2.so
# loaded directly always shows a spare uninitialised token as well, which
# Velkor and Sarnet rightly refuse as a second token; the server exports the
# one token only.)
# BENCH_TOKEN_TMPDIR: where the token stores go (default /dev/shm).
# BENCH_RUNS (default 30) runs per command, spread over BENCH_ROUNDS
# (default 5) hyperfine calls with one warm-up run each; BENCH_SLOW_RUNS
# (default 5) for p11tool's listing, which takes seconds.
set -euo pipefail

# ---- the other token implementations: their daemon/server and saved state
# openCryptoki's software token is the machine's one (/var/lib/opencryptoki/swtok,
# one pkcsslotd); the test harness marks the daemon it started in the same
# file, so that neither ever stops a foreign one.
ock_dir=/var/lib/opencryptoki/swtok
ock_marker=/var/lock/opencryptoki/testtoken-pkcsslotd.pid
ock_stop() {
  local pid
  pid=$(cat /var/run/pkcsslotd.pid 2>/dev/null) || return 0
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  [ "$(cat /proc/"$pid"/comm 2>/dev/null)" = pkcsslotd ] || return 0
  if [ "$(cat "$ock_marker" 2>/dev/null)" != "$pid" ]; then
    echo "token-bench: a pkcsslotd not started by the benchmark or the tests runs (pid $pid)" >&2
    return 1
  fi
  kill "$pid"
  for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
  rm -f "$ock_marker"
}
ock_clear() {
  rm -rf "$ock_dir/NVTOK.DAT" "$ock_dir/MK_SO" "$ock_dir/MK_USER" "$ock_dir"/TOK_OBJ/* \
    /dev/shm/var.lib.opencryptoki.swtok
}
ock_start() {
  local d
  for d in /var/lock/opencryptoki /var/lock/opencryptoki/swtok "$ock_dir" "$ock_dir/TOK_OBJ"; do
    mkdir -p "$d"; chgrp pkcs11 "$d"; chmod 770 "$d"
  done
  rm -f /var/run/pkcsslotd.pid
  pkcsslotd
  for _ in $(seq 250); do [ -s /var/run/pkcsslotd.pid ] && break; sleep 0.02; done
  cat /var/run/pkcsslotd.pid >"$ock_marker"
  for _ in $(seq 250); do [ -S /var/run/pkcsslotd.socket ] && break; sleep 0.02; done
}
# NSS softoken: a database behind p11-kit's server, which reads the
# softoken's parameters from a module config in its HOME; as root it runs
# as nobody (p11-kit ignores user configs for root).
nss_stop() {  # nss_stop <folder>
  local pid
  pid=$(cat "$1/run/pid" 2>/dev/null) || return 0
  rm -f "$1/run/pid"
  kill "$pid" 2>/dev/null || return 0
  for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
}
nss_start() {  # nss_start <folder>
  local t=$1 run=()
  rm -f "$t/run/sock"
  [ "$(id -u)" -eq 0 ] && run=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
  HOME=$t/home XDG_RUNTIME_DIR=$t/run "${run[@]}" p11-kit server -f -n "$t/run/sock" \
    "pkcs11:manufacturer=Mozilla%20Foundation;token=NSS%20Certificate%20DB" </dev/null >>"$t/server.log" 2>&1 &
  echo $! >"$t/run/pid"
  for _ in $(seq 250); do [ -S "$t/run/sock" ] && return 0; sleep 0.02; done
  echo "token-bench: p11-kit server did not start for $t" >&2; cat "$t/server.log" >&2; return 1
}
# --restore <kind> <token-folder> <app-folder> <pkcs12-file>: hyperfine's
# prepare step on those tokens (as restore-token.sh for SoftHSM2).
if [ "${1-}" = --restore ]; then
  kind=$2 t=$3 app=$4
  if [ "$kind" = opencryptoki ]; then
    ock_stop; ock_clear; cp -a "$t/saved/." "$ock_dir/"; ock_start
  else
    nss_stop "$t"; rm -rf "$t/db"; cp -a "$t/db-saved" "$t/db"; nss_start "$t"
  fi
  rm -rf "$app/extract" "$app/bin/Tamrin.txt"
  mkdir -p "$app/extract"
  cp "$5" "$app/renewed.p12"
  exit 0
fi

build=$(cd "${1:?build dir}" && pwd)
out=$(mkdir -p "${2:?result dir}" && cd "$2" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
runs=${BENCH_RUNS:-30}
slow_runs=${BENCH_SLOW_RUNS:-5}
rounds=${BENCH_ROUNDS:-5}
per_round=$(( (runs + rounds - 1) / rounds ))
certs=${BENCH_SARNET_CERTS:-500}
pin=1234
p12pass=renew-2026

say() { echo "token-bench: $*"; }
for tool in hyperfine openssl softhsm2-util p11-kit p11tool pkcs11-tool python3; do
  command -v "$tool" >/dev/null || { say "$tool missing; skipped"; exit 0; }
done
find_module() {
  local d
  for d in /usr/lib/x86_64-linux-gnu/softhsm /usr/lib/softhsm /usr/lib/x86_64-linux-gnu/pkcs11 \
           /usr/lib/pkcs11 /usr/lib64/pkcs11 /usr/lib64/softhsm /usr/local/lib/softhsm; do
    [ -e "$d/$1" ] && { echo "$d/$1"; return 0; }
  done
  return 1
}
softhsm=$(find_module libsofthsm2.so) || { say "libsofthsm2.so not found; skipped"; exit 0; }
client=$(find_module p11-kit-client.so) || { say "p11-kit-client.so not found; skipped"; exit 0; }
module=$client
say "module for every program: $module (p11-kit server in front of $softhsm)"

# The token stores live in memory (/dev/shm) unless BENCH_TOKEN_TMPDIR says
# otherwise: SoftHSM2's file store rewrites an object's file once per
# attribute while creating it (some 30 ftruncate+write per object), and on
# a disk shared with other builds those calls wait for writeback, so the
# times would follow the other builds' I/O, not the programs.
if [ -n "${BENCH_TOKEN_TMPDIR:-}" ]; then
  base=$BENCH_TOKEN_TMPDIR
elif [ -d /dev/shm ] && [ -w /dev/shm ]; then
  base=/dev/shm
else
  base=${TMPDIR:-/tmp}
fi
work=$(mktemp -d "$base/token-bench.XXXXXX")
fstype=$(df --output=fstype "$work" | tail -1 | tr -d ' ')
say "token stores and files in $work ($fstype)"
{
  echo "programs: every command loads $module (p11-kit server over SoftHSM2), token store on $fstype ($base)"
  echo "renewal: token starts with old certificate + key pair (id 01) + CA certificate; Velkor writes 3 objects, each pipeline 4 (key pair, EE and CA certificate), all delete 3"
  echo "listing: $certs end-entity certificates on the token"
} >"$out/token-info.txt"
cleanup() {
  local t
  for t in "$work"/tok-*; do
    [ -d "$t" ] && (source "$here/token-env.sh" "$t" && server_stop) || true
  done
  rm -rf "$work"
}
trap cleanup EXIT

# make_token <folder> <label>: a fresh store with one initialised token,
# its server not started yet.
make_token() {
  local t=$1
  mkdir -p "$t/tokens" "$t/run"
  chmod 700 "$t/run"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$t/tokens" >"$t/softhsm2.conf"
  echo "$module" >"$t/module"; echo "$softhsm" >"$t/softhsm"; echo "$2" >"$t/label"
  SOFTHSM2_CONF=$t/softhsm2.conf softhsm2-util --init-token --free --label "$2" --so-pin 12345678 --pin "$pin" >/dev/null
}

# ---------------------------------------------------------------- renewal
tok=$work/tok-renew
app=$work/app-velkor
pki=$work/pki
make_token "$tok" bench
source "$here/token-env.sh" "$tok"
mkdir -p "$app/bin" "$pki"
cp "$build/bin/Velkor" "$app/bin/Velkor"
ln -s "$build/lib" "$app/lib"

cd "$pki"
subject="/C=JP/O=Bench Corp/OU=Tokens/CN=Taro Yamada"
openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 3650 \
  -subj "/C=JP/O=Bench Corp/CN=Bench CA" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
for n in old new; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$n.key" -out "$n.pem" -days 365 -subj "$subject" \
    -CA ca.pem -CAkey ca.key -addext basicConstraints=CA:FALSE 2>/dev/null
done
openssl x509 -in old.pem -outform DER -out old.der
openssl x509 -in ca.pem -outform DER -out ca.der
openssl pkcs8 -topk8 -nocrypt -in old.key -outform DER -out old.p8
openssl pkey -in old.key -pubout -outform DER -out old.pub
openssl pkcs12 -export -inkey new.key -in new.pem -certfile ca.pem -passout "pass:$p12pass" -out renewed.p12

(
  server_start
  w() { pkcs11-tool --module "$module" --login --pin "$pin" --write-object "$@" >/dev/null 2>&1; }
  # The old set as another application left it; the CA certificate is
  # there as well (SUBDN asks for a token certificate with the CA's subject).
  w old.der --type cert --id 01 --label old
  w old.p8 --type privkey --id 01 --label old
  w old.pub --type pubkey --id 01 --label old
  w ca.der --type cert --id 02 --label ca
  server_stop
  cp -a "$tok/tokens" "$tok/tokens-saved"
)

prepare="$here/restore-token.sh $tok $app $pki/renewed.p12"
velkor="$app/bin/Velkor $app/renewed.p12 $pin $p12pass $module SUBDN ISCHKOFF ADDOFF"
p11tool_pipe="$here/pipeline-p11tool.sh $module $app $p12pass $pin bench"
pkcs11tool_pipe="$here/pipeline-pkcs11-tool.sh $module $app $p12pass $pin"

# One run of each, and a look at what stayed on the token: the old
# identifier 01 gone, the renewed objects there.
check_renewal() {  # check_renewal <name> <command>
  local objects
  bash -c "$prepare"
  if ! bash -c "$2"; then
    say "$1 failed"; cat "$app/bin/Tamrin.txt" 2>/dev/null | iconv -f cp932 -t utf-8 || true; return 1
  fi
  objects=$(pkcs11-tool --module "$module" --login --pin "$pin" -O 2>/dev/null)
  if grep -qE 'ID: +01$' <<<"$objects" || [ "$(grep -c 'Object;' <<<"$objects")" -lt 4 ] \
     || [ "$(grep -c 'Private Key Object' <<<"$objects")" -ne 1 ]; then
    say "$1 left an unexpected token:"; echo "$objects"; return 1
  fi
  say "$1: $(grep -c 'Object;' <<<"$objects") objects after the renewal, old ones gone"
}
check_renewal Velkor "$velkor"
check_renewal pkcs11-tool-pipeline "$pkcs11tool_pipe"
check_renewal p11tool-pipeline "$p11tool_pipe"

# The machine is shared: the runs are spread over $rounds rounds of all
# commands, so that a busy minute does not fall on one command only.
for r in $(seq 1 "$rounds"); do
  hyperfine --warmup 1 --runs "$per_round" --prepare "$prepare" --export-json "$out/velkor-$r.json" \
    -n Velkor "$velkor" -n pkcs11-tool-pipeline "$pkcs11tool_pipe" -n p11tool-pipeline "$p11tool_pipe"
done
server_stop

# ------------------------------------------- renewal on the other tokens
# The same renewal, Velkor against the pkcs11-tool pipeline, on
# openCryptoki's software token (libopencryptoki.so, needs root) and on NSS
# softoken behind p11-kit's server; results in renewal-<kind>-<round>.json.
other_renewal() {  # other_renewal <kind> <module> <token-folder> <pkcs12-file>
  local kind=$1 mod=$2 t=$3 a=$work/app-$1 p12=$4
  local w
  mkdir -p "$a/bin"
  cp "$build/bin/Velkor" "$a/bin/Velkor"
  ln -sfn "$build/lib" "$a/lib"
  w() { pkcs11-tool --module "$mod" --login --pin "$pin" --write-object "$@" >/dev/null 2>&1; }
  w "$pki/old.der" --type cert --id 01 --label old
  w "$pki/old.p8" --type privkey --id 01 --label old
  w "$pki/old.pub" --type pubkey --id 01 --label old
  w "$pki/ca.der" --type cert --id 02 --label ca
  # The state every run starts from.
  if [ "$kind" = opencryptoki ]; then
    ock_stop; cp -a "$ock_dir/NVTOK.DAT" "$ock_dir/MK_SO" "$ock_dir/MK_USER" "$ock_dir/TOK_OBJ" "$t/saved/"; ock_start
  else
    nss_stop "$t"; cp -a "$t/db" "$t/db-saved"; nss_start "$t"
  fi
  local prep="bash $here/token-bench.sh --restore $kind $t $a $p12"
  local v="$a/bin/Velkor $a/renewed.p12 $pin $p12pass $mod SUBDN ISCHKOFF ADDOFF"
  local p="$here/pipeline-pkcs11-tool.sh $mod $a $p12pass $pin"
  prepare=$prep app=$a module=$mod
  echo "renewal on $kind: $mod" >>"$out/token-info.txt"
  check_renewal "Velkor ($kind)" "$v" && check_renewal "pkcs11-tool-pipeline ($kind)" "$p" || return 1
  for r in $(seq 1 "$rounds"); do
    hyperfine --warmup 1 --runs "$per_round" --prepare "$prep" --export-json "$out/renewal-$kind-$r.json" \
      -n Velkor "$v" -n pkcs11-tool-pipeline "$p"
  done
}
ock_module=$(find_module libopencryptoki.so || true)
if [ "$(id -u)" -ne 0 ] || [ -z "$ock_module" ] || ! command -v pkcsslotd >/dev/null; then
  say "openCryptoki (root, pkcsslotd, libopencryptoki.so) not available; its row is skipped"
elif ! ock_stop; then
  say "openCryptoki's row is skipped"
elif ! { exec 9>/tmp/testtoken-opencryptoki.lock && flock -w 600 9; }; then
  say "openCryptoki's token stays busy (tests running?); its row is skipped"
else
  t=$work/other-ock
  mkdir -p "$t/saved"
  ock_clear; ock_start
  pkcs11-tool --module "$ock_module" --init-token --label bench --so-pin 87654321 >/dev/null
  pkcs11-tool --module "$ock_module" --login --login-type so --so-pin 87654321 --init-pin --pin "$pin" >/dev/null
  ( other_renewal opencryptoki "$ock_module" "$t" "$pki/renewed.p12" ) || say "openCryptoki renewal failed"
  ock_stop; ock_clear
fi
nss_softoken=
for f in /usr/lib/x86_64-linux-gnu/libsoftokn3.so /usr/lib64/libsoftokn3.so /usr/lib/libsoftokn3.so; do
  [ -e "$f" ] && { nss_softoken=$f; break; }
done
if [ -z "$nss_softoken" ] || ! command -v certutil >/dev/null; then
  say "NSS softoken (libsoftokn3.so, certutil) not available; its row is skipped"
else
  t=$work/other-nss
  mkdir -p "$t/db" "$t/run" "$t/home/.config/pkcs11/modules"
  echo "$pin" >"$t/pw"
  certutil -N -d "sql:$t/db" -f "$t/pw" >/dev/null
  printf 'module: %s\nx-init-reserved: configdir='"'"'sql:%s'"'"' certPrefix='"'"''"'"' keyPrefix='"'"''"'"' secmod='"'"'secmod.db'"'"' flags=optimizeSpace\n' \
    "$nss_softoken" "$t/db" >"$t/home/.config/pkcs11/modules/nss-softoken.module"
  chmod 700 "$t/run"
  [ "$(id -u)" -eq 0 ] && chown -R nobody:nogroup "$t" && chmod 755 "$work"
  nss_start "$t"
  # NSS softoken refuses a second copy of a certificate it holds
  # (CKR_GENERAL_ERROR), and the pipeline writes the CA certificate
  # unconditionally: here the renewal comes with a renewed CA (same name,
  # new key), which Velkor writes as well (4 objects for both).
  ( cd "$pki"
    openssl req -x509 -newkey rsa:2048 -nodes -keyout ca2.key -out ca2.pem -days 3650 \
      -subj "/C=JP/O=Bench Corp/CN=Bench CA" \
      -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
    openssl req -x509 -new -key new.key -out new2.pem -days 365 -subj "$subject" \
      -CA ca2.pem -CAkey ca2.key -addext basicConstraints=CA:FALSE 2>/dev/null
    openssl pkcs12 -export -inkey new.key -in new2.pem -certfile ca2.pem -passout "pass:$p12pass" -out renewed-ca.p12 )
  echo "renewal on nss: with a renewed CA certificate (NSS refuses a second copy of the unchanged one)" >>"$out/token-info.txt"
  ( export P11_KIT_SERVER_ADDRESS=unix:path=$t/run/sock; other_renewal nss "$module" "$t" "$pki/renewed-ca.p12" ) ||
    say "NSS renewal failed"
  nss_stop "$t"
fi
module=$client

# ------------------------------------------------- renewal on a smart card
# OpenSC over pcscd with the tests' emulated card (card-bench.sh): times,
# PKCS#11 calls and APDUs in renewal-card.json and card-counts.json.
bash "$here/card-bench.sh" "$build" "$out" "$pki" || say "card renewal failed"

# ---------------------------------------------------------------- listing
tok=$work/tok-list
app=$work/app-sarnet
make_token "$tok" list
source "$here/token-env.sh" "$tok"
mkdir -p "$app/bin" "$pki/list"
cp "$build/bin/Sarnet" "$app/bin/Sarnet"
ln -s "$build/lib" "$app/lib"
cd "$pki/list"
say "making $certs certificates"
openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out ee.key 2>/dev/null
for i in $(seq 1 "$certs"); do
  openssl req -x509 -new -key ee.key -subj "/C=JP/O=Bench Corp/OU=Unit $i/CN=User $i" -set_serial "$i" \
    -days 730 -CA ../ca.pem -CAkey ../ca.key -addext basicConstraints=CA:FALSE -outform DER -out "ee$i.der" 2>/dev/null
done
say "writing them to the token"
(
  server_start
  for i in $(seq 1 "$certs"); do
    pkcs11-tool --module "$module" --login --pin "$pin" \
      --write-object "ee$i.der" --type cert --id "$(printf '%04x' "$i")" --label "user$i" >/dev/null 2>&1
  done
  "$app/bin/Sarnet" "$module" || { say "Sarnet failed ($?)"; iconv -f cp932 -t utf-8 "$app/bin/Morva.txt"; exit 1; }
  lines=$(wc -l <"$app/bin/certRead.txt")
  [ "$lines" -eq $((certs * 4)) ] || { say "Sarnet: expected $((certs * 4)) lines, got $lines"; exit 1; }
  n=$(p11tool --provider "$module" --list-all-certs 2>/dev/null | grep -c 'URL:')
  [ "$n" -eq "$certs" ] || { say "p11tool lists $n certificates, not $certs"; exit 1; }
  n=$(pkcs11-tool --module "$module" --list-objects --type cert 2>/dev/null | grep -c 'Certificate Object')
  [ "$n" -eq "$certs" ] || { say "pkcs11-tool lists $n certificates, not $certs"; exit 1; }
  say "all three list $certs certificates"
  for r in $(seq 1 "$rounds"); do
    hyperfine --warmup 1 --runs "$per_round" --export-json "$out/sarnet-$r.json" \
      -n Sarnet "$app/bin/Sarnet $module" \
      -n "pkcs11-tool -O --type cert" "pkcs11-tool --module $module --list-objects --type cert"
  done
  # p11tool takes seconds here (one round trip per attribute through the
  # server): fewer runs, so that the whole benchmark stays short.
  hyperfine --warmup 1 --runs "$slow_runs" --export-json "$out/sarnet-slow.json" \
    -n "p11tool --list-all-certs" "p11tool --provider $module --list-all-certs"
  server_stop
)
