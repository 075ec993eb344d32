#!/bin/sh
# Generates a test CA, a broker certificate for localhost/127.0.0.1 and client
# certificates into DIR: ca.pem, broker.{pem,key}, and NAME.{pem,key} for each
# client NAME given (default: bridge remote).
set -eu

DIR=$1
shift
CLIENTS=${*:-bridge remote}
cd "$DIR"

openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Bridge Test CA" \
    -keyout ca.key -out ca.pem \
    -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

sign() { # NAME SUBJECT EXTENSIONS...
    name=$1 subject=$2
    shift 2
    printf '%s\n' "$@" >"$name.ext"
    openssl req -newkey rsa:2048 -nodes -subj "$subject" -keyout "$name.key" -out "$name.csr" 2>/dev/null
    openssl x509 -req -in "$name.csr" -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 \
        -extfile "$name.ext" -out "$name.pem" 2>/dev/null
    rm -f "$name.csr" "$name.ext"
}

sign broker "/CN=localhost" "subjectAltName=DNS:localhost,IP:127.0.0.1" "extendedKeyUsage=serverAuth"
for c in $CLIENTS; do
    sign "$c" "/CN=$c" "extendedKeyUsage=clientAuth"
done
# The broker drops to its own user when started as root.
chmod 0644 ./*.key ./*.pem
