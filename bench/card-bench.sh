#!/usr/bin/env bash
# card-bench.sh <build-dir> <result-dir> <pki-folder>: the renewal on a
# smart card, Velkor against the openssl + pkcs11-tool pipeline, both
# loading OpenSC's opensc-pkcs11.so over pcscd, the card being the test
# harness's emulated IsoApplet card (testing/card/isoapplet_card.py) in
# vsmartcard's virtual reader.  Run by token-bench.sh with its PKI folder
# (old.der old.p8 old.pub ca.der renewed.p12).
#
# Results in <result-dir>: renewal-card.json (hyperfine) and
# card-counts.json: per command the PKCS#11 calls (counted by the harness's
# libfaultp11.so, forwarding without rules) and the APDUs the card answered
# in one renewal.  On a real card every APDU costs milliseconds, so the
# APDU count is the figure that carries over from the emulator.
#
# Every run starts from the same card: the personalised card holding the
# old set is saved once (SIGUSR1 to the emulator) and hyperfine's prepare
# step puts it back (the emulator restarted from the saved contents).
# BENCH_CARD_RUNS (default 5) runs per command.
#
# --restore <card-folder> <app-folder> <pkcs12-file>: that prepare step.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)
emulator=$root/testing/card/isoapplet_card.py
python=/usr/bin/python3
port=35963
pcscd_socket=/run/pcscd/pcscd.comm
say() { echo "card-bench: $*"; }

card_present() {  # card_present <card-folder>: pcscd shows a card in the first reader
  OPENSC_CONF=$1/opensc.conf opensc-tool --list-readers 2>/dev/null | grep -q '^0 *Yes'
}
# card_stop <card-folder>: the emulator stopped, and a wait (bounded) until
# pcscd has seen the card go, so that the next card is not taken for it.
card_stop() {
  local pid
  pid=$(cat "$1/card.pid" 2>/dev/null) || return 0
  rm -f "$1/card.pid"
  if kill "$pid" 2>/dev/null; then
    for _ in $(seq 250); do kill -0 "$pid" 2>/dev/null || break; sleep 0.02; done
    kill -KILL "$pid" 2>/dev/null || true
  fi
  for _ in $(seq 250); do card_present "$1" || return 0; sleep 0.02; done
  say "pcscd still shows the card"; return 1
}
# card_start <card-folder>: the emulator from the saved contents (if any),
# then a wait (bounded) until pcscd shows the card; no APDU is sent.
card_start() {
  local c=$1
  rm -f "$c/control/apdus"
  "$python" "$emulator" --port "$port" --control "$c/control" --state "$c/state" </dev/null >>"$c/card.log" 2>&1 8>&- &
  echo $! >"$c/card.pid"
  for _ in $(seq 500); do
    [ -s "$c/control/apdus" ] && card_present "$c" && return 0
    sleep 0.02
  done
  say "the card did not come up"; cat "$c/card.log" >&2; return 1
}

if [ "${1-}" = --restore ]; then
  c=$2 app=$3
  card_stop "$c"
  card_start "$c"
  rm -rf "$app/extract" "$app/bin/Tamrin.txt"
  mkdir -p "$app/extract"
  cp "$4" "$app/renewed.p12"
  exit 0
fi

build=$(cd "${1:?build dir}" && pwd)
out=$(cd "${2:?result dir}" && pwd)
pki=$(cd "${3:?pki folder}" && pwd)
runs=${BENCH_CARD_RUNS:-5}
pin=1234
p12pass=renew-2026

module=
for f in /usr/lib/x86_64-linux-gnu/opensc-pkcs11.so /usr/lib/x86_64-linux-gnu/pkcs11/opensc-pkcs11.so \
         /usr/lib64/opensc-pkcs11.so /usr/lib/opensc-pkcs11.so; do
  [ -e "$f" ] && { module=$f; break; }
done
vpcd=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
fault=$build/lib/libfaultp11.so
for tool in pcscd pkcs15-init opensc-tool pkcs11-tool hyperfine; do
  command -v "$tool" >/dev/null || { say "$tool missing; the card row is skipped"; exit 0; }
done
if [ -z "$module" ] || [ ! -e "$vpcd" ] || [ ! -e "$fault" ] ||
   ! "$python" -c 'import Cryptodome' 2>/dev/null || [ ! -d /usr/lib/python3/site-packages/virtualsmartcard ]; then
  say "opensc-pkcs11.so, vsmartcard-vpcd, python3-virtualsmartcard, python3-pycryptodome or libfaultp11.so missing; the card row is skipped"
  exit 0
fi
# pcscd's socket and the reader port are the machine's: the tests' lock,
# and no pcscd of someone else's.
exec 8>/tmp/testtoken-pcscd.lock
if ! flock -w 600 8; then say "pcscd stays busy (tests running?); the card row is skipped"; exit 0; fi
if [ -S "$pcscd_socket" ] && pidof pcscd >/dev/null; then
  say "a pcscd runs already; the card row is skipped"; exit 0
fi

c=$(mktemp -d /tmp/card-bench.XXXXXX)
app=$c/app
pcscd_pid=
cleanup() {
  card_stop "$c" || true
  if [ -n "$pcscd_pid" ]; then
    kill "$pcscd_pid" 2>/dev/null || true
    wait "$pcscd_pid" 2>/dev/null || true
  fi
  rm -rf "$c"
}
trap cleanup EXIT
mkdir -p "$c/readers" "$c/control" "$app/bin" "$app/extract"
printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x%04X\nLIBPATH %s\nCHANNELID 0x%04X\n' \
  "$port" "$vpcd" "$port" >"$c/readers/vpcd"
printf 'app default {\n  framework pkcs15 {\n    use_file_caching = no;\n  }\n}\n' >"$c/opensc.conf"
export OPENSC_CONF=$c/opensc.conf
pcscd --foreground --config "$c/readers" </dev/null >"$c/pcscd.log" 2>&1 8>&- &
pcscd_pid=$!
for _ in $(seq 500); do [ -S "$pcscd_socket" ] && break; sleep 0.02; done
[ -S "$pcscd_socket" ] || { say "pcscd did not start"; cat "$c/pcscd.log" >&2; exit 1; }

# A fresh card, personalised as a user would, holding the old set.
card_start "$c"
pkcs15-init --create-pkcs15 --no-so-pin >/dev/null
pkcs15-init --store-pin --auth-id 01 --pin "$pin" --puk 12345678 --label "User PIN" >/dev/null
w() { pkcs11-tool --module "$module" --login --pin "$pin" --write-object "$@" >/dev/null 2>&1; }
w "$pki/old.der" --type cert --id 01 --label old
w "$pki/old.p8" --type privkey --id 01 --label old
w "$pki/old.pub" --type pubkey --id 01 --label old
w "$pki/ca.der" --type cert --id 02 --label ca
kill -USR1 "$(cat "$c/card.pid")"
for _ in $(seq 500); do [ -s "$c/state" ] && break; sleep 0.02; done
[ -s "$c/state" ] || { say "the card's contents were not saved"; exit 1; }
say "card personalised and seeded ($(cat "$c/control/apdus") APDUs)"

cp "$build/bin/Velkor" "$app/bin/Velkor"
ln -s "$build/lib" "$app/lib"
prepare="bash $here/card-bench.sh --restore $c $app $pki/renewed.p12"
velkor() { echo "$app/bin/Velkor $app/renewed.p12 $pin $p12pass $1 SUBDN ISCHKOFF ADDOFF"; }
pipeline() { echo "$here/pipeline-pkcs11-tool.sh $1 $app $p12pass $pin"; }

# One counted run of each: PKCS#11 calls through the fault module (no
# rules: it forwards and logs), APDUs from the card's own counter.
counts={}
for name in Velkor pkcs11-tool-pipeline; do
  bash -c "$prepare"
  before=$(cat "$c/control/apdus")
  log=$c/calls-$name.log
  rm -f "$log"
  cmd=$( [ "$name" = Velkor ] && velkor "$fault" || pipeline "$fault" )
  if ! FAULTP11_TARGET=$module FAULTP11_LOG=$log FAULTP11_RULES= bash -c "$cmd"; then
    say "$name failed on the card"; iconv -f cp932 -t utf-8 "$app/bin/Tamrin.txt" 2>/dev/null || true; exit 1
  fi
  calls=$(wc -l <"$log")
  apdus=$(( $(cat "$c/control/apdus") - before ))
  say "$name: $calls PKCS#11 calls, $apdus APDUs"
  counts=$(python3 -c 'import json,sys; d=json.loads(sys.argv[1]); d[sys.argv[2]]={"calls":int(sys.argv[3]),"apdus":int(sys.argv[4])}; print(json.dumps(d))' \
    "$counts" "$name" "$calls" "$apdus")
done
echo "$counts" >"$out/card-counts.json"
echo "renewal on card: $module over pcscd, the emulated IsoApplet card in vsmartcard's reader (card restarted from its saved contents before each run)" >>"$out/token-info.txt"

hyperfine --runs "$runs" --prepare "$prepare" --export-json "$out/renewal-card.json" \
  -n Velkor "$(velkor "$module")" -n pkcs11-tool-pipeline "$(pipeline "$module")"
