#!/usr/bin/env bash
# pipeline-pkcs11-tool.sh <module> <app-folder> <pkcs12-password> <pin>:
# the renewal a user would do by hand with OpenSSL and OpenSC's pkcs11-tool.
# The key and the certificates come out of the PKCS#12 file; the private
# key, its public key and the end-entity certificate go to the token under
# one new identifier (0a), the CA certificate under another (0b); then the
# old certificate, public key and private key (identifier 01) are deleted.
set -euo pipefail
module=$1
x=$2/extract
p12=$2/renewed.p12
pass=pass:$3
pin=$4

openssl pkcs12 -in "$p12" -passin "$pass" -nocerts -nodes -out "$x/key.pem"
openssl pkcs12 -in "$p12" -passin "$pass" -clcerts -nokeys -out "$x/ee.pem"
openssl pkcs12 -in "$p12" -passin "$pass" -cacerts -nokeys -out "$x/ca.pem"
openssl pkey -in "$x/key.pem" -pubout -out "$x/pub.pem"

tool() { pkcs11-tool --module "$module" --login --pin "$pin" "$@" >/dev/null 2>&1; }
tool --write-object "$x/key.pem" --type privkey --id 0a --label renewed
tool --write-object "$x/pub.pem" --type pubkey --id 0a --label renewed
tool --write-object "$x/ee.pem" --type cert --id 0a --label renewed
tool --write-object "$x/ca.pem" --type cert --id 0b --label ca
tool --delete-object --type cert --id 01
tool --delete-object --type pubkey --id 01
tool --delete-object --type privkey --id 01
