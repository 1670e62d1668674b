# Sourced by the token benchmark scripts: paths of one benchmark token
# folder and the functions that start and stop its p11-kit server.
#   $1 (of the sourcing script): the token folder made by token-bench.sh
#
# Layout of a token folder:
#   softhsm2.conf tokens/ tokens-saved/ run/ (server socket, pid)
#   module        the PKCS#11 module the programs load (p11-kit-client.so)
#   softhsm       libsofthsm2.so
#   label         the token label

tok=$1
export SOFTHSM2_CONF=$tok/softhsm2.conf
export XDG_RUNTIME_DIR=$tok/run
export P11_KIT_SERVER_ADDRESS=unix:path=$tok/run/sock
module=$(cat "$tok/module")
softhsm=$(cat "$tok/softhsm")
label=$(cat "$tok/label")

# The server of a token runs in its own background process; its PID is kept
# in run/pid so that the next prepare step (another shell) can stop it.
server_stop() {
  local pid
  [ -f "$tok/run/pid" ] || return 0
  pid=$(cat "$tok/run/pid")
  rm -f "$tok/run/pid"
  kill "$pid" 2>/dev/null || return 0
  # Not our child when a previous shell started it: poll until it is gone
  # (or a zombie nobody reaps), at most two seconds.
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    grep -q '^State:.*Z' "/proc/$pid/status" 2>/dev/null && break
    sleep 0.02
  done
  rm -f "$tok/run/sock"
}

server_start() {
  rm -f "$tok/run/sock"
  p11-kit server -f -n "$tok/run/sock" --provider "$softhsm" "pkcs11:token=$label" \
    </dev/null >>"$tok/server.log" 2>&1 &
  echo $! >"$tok/run/pid"
  for _ in $(seq 250); do [ -S "$tok/run/sock" ] && return 0; sleep 0.02; done
  echo "bench: p11-kit server did not start for $tok" >&2
  cat "$tok/server.log" >&2
  return 1
}
