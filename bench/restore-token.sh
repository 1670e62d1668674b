#!/usr/bin/env bash
# restore-token.sh <token-folder> <app-folder> <pkcs12-file>: hyperfine's
# prepare step for the renewal benchmark.  Stops the token's server, puts
# the token store back to its saved state (old certificate, its key pair and
# the CA certificate), starts the server again, and puts a fresh copy of the
# renewed PKCS#12 file where Velkor (which consumes it) and the peer
# pipelines expect it.  Leftovers of the last run (extracted PEM files,
# Velkor's log) are removed.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/token-env.sh" "$1"
app=$2
p12=$3

server_stop
rm -rf "$tok/tokens"
cp -a "$tok/tokens-saved" "$tok/tokens"
server_start
rm -rf "$app/extract" "$app/bin/Tamrin.txt"
mkdir -p "$app/extract"
cp "$p12" "$app/renewed.p12"
