#!/bin/bash
# The bridge's whole job on this machine: a local mosquitto broker with mutual
# TLS, the simulated firmware on a pseudo-terminal, the bridge (its test build:
# device ./ttyATH0, broker localhost:18883), a command list published by a
# remote party, and the reports that party receives. Everything is stopped at
# the end.
#
#   scripts/demo.sh ['command;list']
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
. "$ROOT/scripts/common.sh"
BUILD=${BUILD_DIR:-$ROOT/build}
COMMANDS=${1:-LED ON;READ TEMP;LED OFF}
PORT=18883

"$ROOT/scripts/setup.sh" >/dev/null

# A network namespace of its own gives the demo a private loopback, so port
# 18883 is free whatever else runs on this machine.
if [ -z "${DEMO_NETNS:-}" ] && [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
    DEMO_NETNS=1 exec unshare --net sh -c 'ip link set lo up && exec "$0" "$@"' "$0" "$@"
fi

WORK=$(mktemp -d)
chmod 0755 "$WORK"
PIDS=()
cleanup() {
    status=$?
    if [ "$status" -ne 0 ]; then
        for f in bridge.log bridge.err device.log broker.log; do
            [ -s "$WORK/$f" ] && { echo "--- $f"; cat "$WORK/$f"; }
        done
    fi
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$WORK"
}
trap cleanup EXIT

wait_for() { # FILE PATTERN COUNT SECONDS
    for _ in $(seq $(($4 * 10))); do
        [ "$(grep -c -- "$2" "$1" 2>/dev/null)" -ge "$3" ] && return 0
        sleep 0.1
    done
    echo "timed out waiting for '$2' in $1" >&2
    return 1
}

section "Certificates (CA, broker, bridge, remote party), as the tests make them"
sh "$ROOT/scripts/make-certs.sh" "$WORK" bridge remote
cp "$WORK/ca.pem" "$WORK/crt.ca.qx.pem"
cp "$WORK/bridge.pem" "$WORK/tls-cert.pem"
cp "$WORK/bridge.key" "$WORK/tls-key.pem"
ls "$WORK"

section "Broker: mosquitto on 127.0.0.1:$PORT, client certificates required"
# The configuration of the tests' broker.
sh "$ROOT/scripts/peer-files.sh" broker $PORT mutual "$WORK/ca.pem" "$WORK/broker.pem" \
    "$WORK/broker.key" "$WORK/broker.log" >"$WORK/mosquitto.conf"
# Started as root the broker drops to its own user before it opens its log.
touch "$WORK/broker.log"
[ "$(id -u)" -ne 0 ] || chown mosquitto "$WORK/broker.log" 2>/dev/null || true
mosquitto -c "$WORK/mosquitto.conf" >>"$WORK/broker.log" 2>&1 &
PIDS+=($!)
for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/$PORT) 2>/dev/null && break
    sleep 0.1
done

TLS=(--cafile "$WORK/ca.pem" --cert "$WORK/remote.pem" --key "$WORK/remote.key" -h localhost -p $PORT)
mosquitto_sub "${TLS[@]}" -i remote-sub -v -t login -t status_update -t info \
    -F '%t (%l bytes): %p' >"$WORK/received.raw" &
PIDS+=($!)

section "Device: simulated firmware on a pseudo-terminal linked at ./ttyATH0"
"$BUILD/tools/sim-firmware" --link "$WORK/ttyATH0" --info '!boot\n' >"$WORK/device.log" &
DEVICE=$!
PIDS+=($DEVICE)
for _ in $(seq 50); do [ -e "$WORK/ttyATH0" ] && break; sleep 0.1; done

# The bridge takes its client id from busybox's ifconfig, as on the board;
# the tests' stand-in prints one.
sh "$ROOT/scripts/peer-files.sh" ifconfig "$WORK/bin"

section "Bridge"
(cd "$WORK" && PATH="$WORK/bin:$PATH" exec "$BUILD/mqtt-serial-bridge-test") \
    >"$WORK/bridge.log" 2>"$WORK/bridge.err" &
PIDS+=($!)
wait_for "$WORK/bridge.log" "received SUBACK" 1 10

section "Device sends an information report while idle, now that the bridge reads the line: !boot"
kill -USR1 "$DEVICE"
wait_for "$WORK/received.raw" "^info" 1 5

n=$(printf '%s' "$COMMANDS" | awk -F';' '{ for (i = 1; i <= NF; i++) if ($i != "") k++ } END { print k + 0 }')
section "Remote party publishes on \"commands\": $COMMANDS ($n commands)"
mosquitto_pub "${TLS[@]}" -i remote-pub -q 1 -t commands -m "$COMMANDS"
for _ in $(seq 100); do
    tr -d '\000' <"$WORK/received.raw" >"$WORK/received.txt"
    [ "$(grep -c '^status_update' "$WORK/received.txt")" -ge "$n" ] && break
    sleep 0.1
done

section "Bridge log (stdout)"
cat "$WORK/bridge.log"
if [ -s "$WORK/bridge.err" ]; then
    section "Bridge log (stderr)"
    cat "$WORK/bridge.err"
fi
section "Device log"
cat "$WORK/device.log"
section "Received by the remote party (payload NULs removed for display)"
cat "$WORK/received.txt"

reports=$(grep -c '^status_update' "$WORK/received.txt" || true)
section "Done: $reports of $n status reports received; stopping broker, device and bridge"
[ "$reports" -ge "$n" ]
