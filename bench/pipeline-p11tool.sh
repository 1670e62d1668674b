#!/usr/bin/env bash
# pipeline-p11tool.sh <module> <app-folder> <pkcs12-password> <pin> <token-label>:
# the renewal a user would do by hand with OpenSSL and GnuTLS's p11tool.
# The key and the certificates come out of the PKCS#12 file; one p11tool
# --write puts the private key, its public key and the end-entity
# certificate on the token under a new identifier (0a), a second one the CA
# certificate (0b); one p11tool --delete removes every object of the old
# identifier (01: certificate, public key, private key).
set -euo pipefail
module=$1
x=$2/extract
p12=$2/renewed.p12
pass=pass:$3
export GNUTLS_PIN=$4
token="pkcs11:token=$5"

openssl pkcs12 -in "$p12" -passin "$pass" -nocerts -nodes -out "$x/key.pem"
openssl pkcs12 -in "$p12" -passin "$pass" -clcerts -nokeys -out "$x/ee.pem"
openssl pkcs12 -in "$p12" -passin "$pass" -cacerts -nokeys -out "$x/ca.pem"
openssl pkey -in "$x/key.pem" -pubout -out "$x/pub.pem"

tool() { p11tool --provider "$module" --login "$@" >/dev/null 2>&1; }
tool --write --load-privkey "$x/key.pem" --load-pubkey "$x/pub.pem" --load-certificate "$x/ee.pem" \
  --label renewed --id 0a "$token"
tool --write --load-certificate "$x/ca.pem" --label ca --id 0b "$token"
tool --batch --delete "$token;id=%01"
