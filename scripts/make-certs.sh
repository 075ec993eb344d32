#!/bin/sh
# Generates the test certificates (EC P-256, valid for two days) into DIR:
#   ca.{pem,key}             the CA the bridge and the broker trust
#   broker.{pem,key}         SAN DNS:localhost,IP:127.0.0.1, serverAuth, signed by ca
#   NAME.{pem,key}           a client certificate (clientAuth) signed by ca for
#                            each NAME given (default: bridge remote); made
#                            a few at a time in parallel, for fleets of
#                            hundreds; NAME=CN names the files NAME and the
#                            certificate CN (a unit's MAC, say)
#   other-ca.{pem,key}       an unrelated CA, and signed by it
#   other-broker.{pem,key}   as broker
#   other-client.{pem,key}   a client certificate
#   elsewhere.{pem,key}      signed by ca, but for DNS:elsewhere.invalid only
# All files are world-readable: the broker reads them after dropping root.
#
#   scripts/make-certs.sh DIR [NAME...]
set -eu

DIR=$1
shift
CLIENTS=${*:-bridge remote}
mkdir -p "$DIR"
cd "$DIR"

serial=1
key() { # NAME
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1.key" 2>/dev/null
}
ca() { # NAME SUBJECT
    key "$1"
    openssl req -new -x509 -key "$1.key" -subj "$2" -days 2 -out "$1.pem" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -addext "subjectKeyIdentifier=hash" 2>/dev/null
}
sign() { # NAME SUBJECT CA EXTENSIONS...
    name=$1 subject=$2 by=$3
    shift 3
    printf '%s\n' basicConstraints=CA:FALSE "$@" >"$name.ext"
    key "$name"
    openssl req -new -key "$name.key" -subj "$subject" -out "$name.csr" 2>/dev/null
    openssl x509 -req -in "$name.csr" -CA "$by.pem" -CAkey "$by.key" -set_serial "$serial" \
        -days 2 -extfile "$name.ext" -out "$name.pem" 2>/dev/null
    rm -f "$name.csr" "$name.ext"
}
server="subjectAltName=DNS:localhost,IP:127.0.0.1"

next() { serial=$((serial + 1)); }

ca ca "/CN=bridge test CA"

next && sign broker "/CN=localhost" ca "$server" extendedKeyUsage=serverAuth
# Each certificate takes three openssl runs: two jobs per core, the serial
# numbers handed out before the jobs start. A plain wait does not report a
# job's failure, so the files are checked after.
jobs=$(($(nproc 2>/dev/null || echo 1) * 2))
running=0
for c in $CLIENTS; do
    next
    sign "${c%%=*}" "/CN=${c#*=}" ca extendedKeyUsage=clientAuth &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
        wait
        running=0
    fi
done
wait
for c in $CLIENTS; do
    c=${c%%=*}
    [ -s "$c.pem" ] || { echo "make-certs.sh: no certificate for $c" >&2; exit 1; }
done
ca other-ca "/CN=unrelated test CA"
next && sign other-broker "/CN=localhost" other-ca "$server" extendedKeyUsage=serverAuth
next && sign other-client "/CN=unrelated test client" other-ca extendedKeyUsage=clientAuth
next && sign elsewhere "/CN=elsewhere.invalid" ca subjectAltName=DNS:elsewhere.invalid \
    extendedKeyUsage=serverAuth
chmod 0644 ./*.key ./*.pem
