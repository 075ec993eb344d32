#!/bin/sh
# The files of the bridge's test peers, shared by the end-to-end harness and
# the demo:
#
#   scripts/peer-files.sh broker PORT mutual|refuse|plain CA CERT KEY LOG
#       prints a mosquitto configuration: a listener on 127.0.0.1:PORT with
#       mutual TLS (the files CA, CERT, KEY; "refuse" also refuses every
#       CONNECT, as no password file exists) or in plaintext, logging
#       everything to the file LOG
#   scripts/peer-files.sh ifconfig DIR [MAC]
#       writes DIR/ifconfig, a stand-in for busybox's that prints
#       DIR/ifconfig.out, which it fills with one interface that is up, with
#       the hardware address MAC (default 02:FC:00:00:00:01)
set -eu

case ${1:-} in
broker)
    port=$2 mode=$3 log=$7
    echo "listener $port 127.0.0.1"
    if [ "$mode" != plain ]; then
        printf '%s\n' "cafile $4" "certfile $5" "keyfile $6" "require_certificate true"
    fi
    if [ "$mode" = refuse ]; then echo "allow_anonymous false"; else echo "allow_anonymous true"; fi
    printf '%s\n' "max_queued_messages 0" "persistence false" "log_dest file $log" \
        "log_type all" "log_timestamp_format %H:%M:%S"
    ;;
ifconfig)
    mkdir -p "$2"
    printf '#!/bin/sh\nexec cat "$(dirname "$0")/ifconfig.out"\n' >"$2/ifconfig"
    chmod 0755 "$2/ifconfig"
    printf '%s\n' "eth0      Link encap:Ethernet  HWaddr ${3:-02:FC:00:00:00:01}  " \
        "          inet addr:192.168.1.1  Bcast:192.168.1.255  Mask:255.255.255.0" \
        >"$2/ifconfig.out"
    ;;
*)
    echo "usage: $0 broker PORT mutual|refuse|plain CA CERT KEY LOG | ifconfig DIR [MAC]" >&2
    exit 2
    ;;
esac
