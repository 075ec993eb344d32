#!/bin/bash
# A fleet of bridges on this machine: N copies of the test build, each with
# its own simulated firmware on a pty, MAC (stand-in ifconfig), working
# directory and client certificate (one CA), against one mosquitto with
# mutual TLS or a cluster of three RabbitMQ nodes behind haproxy, all on
# loopback in a network namespace of its own. bench/fleet.cpp drives the
# phases (cold start, command lists, login -> list, broker outage,
# resources) and checks them; the run fails when a check fails, never on a
# missed target. Everything started is stopped by PID at the end.
#
#   scripts/fleet.sh [--broker mosquitto|cluster] [--units N] [--commands K]
#                    [--probes M] [--outage S] [--no-mirror] [--via-proxy]
#       --no-mirror leaves out the cluster's mirroring policy, to show what it
#       is for; --via-proxy puts haproxy in front of mosquitto (which moves to
#       port 18884), as in front of the cluster
#   scripts/fleet.sh --addressed [--broker mosquitto|cluster] [--units N] [--probes M]
#       each unit on its own topics: the units' build (topics under units/<MAC>/,
#       availability), certificates naming the MACs, the brokers as
#       packaging/brokers ships them (each unit held to its own topics); a list
#       to each unit, spare units' certificates on another's topics and with
#       another's client id, a unit killed and one stopped
#   scripts/fleet.sh --persistent [--broker mosquitto|cluster] [--units N] [--clean-session]
#       the build with BRIDGE_CLEAN_SESSION=OFF (the cluster's session queues
#       quorum queues): every unit killed, a list published to all while they
#       are away, mosquitto restarted or the node most units were on killed,
#       the units back; each device must get its list once (--clean-session:
#       the default build, counting the lists it loses)
#   scripts/fleet.sh --storm [--units N] [--outage S] [--backoff-max S] [--via-proxy]
#       the reconnection storm: the same fleet (mosquitto) through an outage
#       of S seconds (default 60) with the fixed 1 s retry and with a build
#       made with -DBRIDGE_RECONNECT_DELAY_MAX_S (default 30, in
#       BUILD_DIR-backoff/); writes the attempts per second into
#       BUILD_DIR/fleet-out/storm.dat and plots docs/reconnect-storm.png
#       (docs/reconnect-storm-proxy.png with --via-proxy)
#
# Defaults: mosquitto, 20 units, 5 commands, 10 probes, a 5 s outage. Builds
# into build-fleet/ (BUILD_DIR overrides); the run's files stay in
# BUILD_DIR/fleet-out/. Last line: fleet: <N> units, <lost> reports lost,
# <dup> duplicates, all back in <s> s (--addressed: the killed unit's
# restart to its online; then ", isolation: <held> of <made> refusals held,
# takeovers refused: <k> of <n>");
# --persistent: ", absent: <k> of <n> lists ran once, return -> list ...").
set -eu

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${BUILD_DIR:-$ROOT/build-fleet}
# The driver and the brokers work in folders below it, from other folders.
case $BUILD in /*) ;; *) BUILD=$PWD/$BUILD ;; esac
BROKER=mosquitto
UNITS=20
COMMANDS=5
PROBES=10
OUTAGE=
STORM=0
BACKOFF_MAX=30
PROXY=0
ADDRESSED=0
PERSISTENT=0
CLEAN_UNITS=0

usage() {
    sed -n '/^#   scripts/,/^# Defaults/p' "$0" | sed '$d; s/^# \{0,1\}//' >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
    --broker) BROKER=${2:?}; shift ;;
    --units) UNITS=${2:?}; shift ;;
    --commands) COMMANDS=${2:?}; shift ;;
    --probes) PROBES=${2:?}; shift ;;
    --outage) OUTAGE=${2:?}; shift ;;
    --storm) STORM=1 ;;
    --backoff-max) BACKOFF_MAX=${2:?}; shift ;;
    --no-mirror) export FLEET_MIRROR=0 ;;
    --via-proxy) PROXY=1 ;;
    --addressed) ADDRESSED=1 ;;
    --persistent) PERSISTENT=1 ;;
    --clean-session) CLEAN_UNITS=1 ;;
    *) usage ;;
    esac
    shift
done
case $BROKER in mosquitto | cluster) ;; *) usage ;; esac
[ "$STORM" -eq 0 ] || BROKER=mosquitto
[ -n "$OUTAGE" ] || { [ "$STORM" -eq 1 ] && OUTAGE=60 || OUTAGE=5; }

. "$ROOT/scripts/common.sh"
FLEET_ROOT=$ROOT
. "$ROOT/scripts/fleet-peers.sh"

# Installing and building need the machine's network; the fleet runs in a
# namespace without it.
if [ -z "${FLEET_NETNS:-}" ]; then
    fleet_install "$BROKER"
    [ "$PROXY" -eq 0 ] || fleet_install cluster
    mkdir -p "$BUILD"
    LOG=$BUILD/fleet-setup.log
    BUILD_DIR=$BUILD BUILD_TYPE=Release EXTRA_PACKAGES="gnuplot-nox ${EXTRA_PACKAGES:-}" \
        CMAKE_ARGS="-DBRIDGE_BUILD_TESTS=ON -DBRIDGE_BENCH=ON ${CMAKE_ARGS:-}" \
        "$ROOT/scripts/setup.sh" >"$LOG" 2>&1 ||
        { tail -40 "$LOG" >&2; exit 1; }
    if [ "$STORM" -eq 1 ]; then
        # Only the bridge's test build is needed from the variant.
        BUILD_LOG=$LOG BUILD_TARGETS=mqtt-serial-bridge-test build_tree "$BUILD-backoff" \
            -DCMAKE_BUILD_TYPE=Release -DBRIDGE_RECONNECT_DELAY_MAX_S="$BACKOFF_MAX" || exit 1
        grep -q 'BRIDGE_RECONNECT_DELAY_MAX_S' "$ROOT/CMakeLists.txt" ||
            echo "fleet: note: this tree has no BRIDGE_RECONNECT_DELAY_MAX_S; both builds retry alike"
    fi
    # A private loopback: the fixed ports are free whatever else runs here,
    # and /proc/net/snmp counts only the fleet's connection attempts.
    if [ "$(id -u)" -eq 0 ] && command -v unshare >/dev/null; then
        args=(--broker "$BROKER" --units "$UNITS" --commands "$COMMANDS" --probes "$PROBES"
            --outage "$OUTAGE" --backoff-max "$BACKOFF_MAX")
        [ "$STORM" -eq 0 ] || args+=(--storm)
        [ "$PROXY" -eq 0 ] || args+=(--via-proxy)
        [ "$ADDRESSED" -eq 0 ] || args+=(--addressed)
        [ "$PERSISTENT" -eq 0 ] || args+=(--persistent)
        [ "$CLEAN_UNITS" -eq 0 ] || args+=(--clean-session)
        # shellcheck disable=SC2016
        FLEET_NETNS=1 exec unshare --net bash -c 'ip link set lo up && exec "$0" "$@"' "$0" "${args[@]}"
    fi
    echo "fleet: no network namespace of its own; attempt counts include the host's connections"
fi

OUT=$BUILD/fleet-out
rm -rf "$OUT"
mkdir -p "$OUT/pids"
chmod 0755 "$OUT"
FLEET_PIDS=$OUT/pids
trap fleet_stop EXIT
# The broker reads its files after dropping root.
chmod 0755 "$BUILD"

names="remote responder haproxy-check"
unit_cns=
mac_of() { printf '02:FC:00:00:%02X:%02X' $(($1 >> 8 & 255)) $(($1 & 255)); }
for i in $(seq "$UNITS"); do
    if [ "$ADDRESSED" -eq 1 ]; then
        # The MAC the driver gives unit i: the CN the brokers know it by.
        unit_cns="$unit_cns $(mac_of "$i")"
        names="$names $(printf 'u%03d' "$i")=$(mac_of "$i")"
    else
        names="$names $(printf 'u%03d' "$i")"
    fi
done
if [ "$ADDRESSED" -eq 1 ]; then
    # Two units more whose bridges never run: their certificates are the
    # intruders' (a certificate holds one session at mosquitto, whose client
    # id is its CN).
    for i in 1 2; do
        unit_cns="$unit_cns $(mac_of $((UNITS + i)))"
        names="$names spare$i=$(mac_of $((UNITS + i)))"
    done
fi
[ "$ADDRESSED" -eq 0 ] || export FLEET_ADDRESSED=1
echo "== certificates: one CA, the broker, $UNITS units and the remote parties"
# shellcheck disable=SC2086
sh "$ROOT/scripts/make-certs.sh" "$OUT/certs" $names
chmod 0755 "$OUT/certs"

# mosquitto alone, or behind haproxy; the remote goes to mosquitto itself.
mosquitto_args=()
start_mosquitto() {
    if [ "$PROXY" -eq 1 ]; then
        fleet_mosquitto "$OUT/broker" "$OUT/certs" 18884
        fleet_haproxy "$OUT/broker" "$OUT/certs" 18884
        mosquitto_args=(--remote-port 18884 --haproxy-sock "$OUT/broker/haproxy.sock")
    else
        fleet_mosquitto "$OUT/broker" "$OUT/certs"
        mosquitto_args=()
    fi
}

driver() { # BROKER-DIR ARGS...
    local dir=$1
    shift
    local more=()
    [ "$ADDRESSED" -eq 0 ] || more=(--addressed)
    [ "$PERSISTENT" -eq 0 ] || more+=(--persistent)
    [ "$CLEAN_UNITS" -eq 0 ] || more+=(--clean-session)
    "$BUILD/bench/fleet-driver" --units "$UNITS" --broker "$BROKER" --work "$OUT/units" \
        --certs "$OUT/certs" --broker-dir "$dir" --pids "$FLEET_PIDS" "${more[@]}" "$@"
}

if [ "$STORM" -eq 1 ]; then
    status=0
    for build in fixed backoff; do
        echo
        echo "==== reconnection storm, $build retry: $UNITS units, a $OUTAGE s outage"
        start_mosquitto
        rm -rf "$OUT/units"
        exe=$BUILD/mqtt-serial-bridge-test
        [ "$build" = fixed ] || exe=$BUILD-backoff/mqtt-serial-bridge-test
        BRIDGE_EXE=$exe driver "$OUT/broker" "${mosquitto_args[@]}" --storm --outage "$OUTAGE" \
            --timeline "$OUT/storm-$build.dat" | tee "$OUT/storm-$build.log" || status=1
        fleet_stop
    done
    # One row per second since the kill; a run that ended earlier has NaN,
    # which gnuplot leaves out.
    awk 'function sec(t) { return t < 0 ? -int(-t + 0.5) : int(t + 0.5) }
        /^#/ { next }
        FNR == NR { f[sec($1)] = $2; k[sec($1)] = 1; next }
        { b[sec($1)] = $2; k[sec($1)] = 1 }
        END { for (s in k) print s, (s in f ? f[s] : "NaN"), (s in b ? b[s] : "NaN") }' \
        "$OUT/storm-fixed.dat" "$OUT/storm-backoff.dat" | sort -n >"$OUT/storm.dat"
    plot=docs/reconnect-storm.png via=""
    [ "$PROXY" -eq 0 ] || { plot=docs/reconnect-storm-proxy.png via=", through haproxy"; }
    gnuplot -e "data='$OUT/storm.dat'; out='$ROOT/$plot'; outage=$OUTAGE; units=$UNITS; via='$via'" \
        "$ROOT/bench/storm.gp"
    echo
    echo "== reconnection storm: $UNITS units, $OUTAGE s outage$via (plot: $plot)"
    for build in fixed backoff; do
        total=$(awk '!/^#/ && $1 > 0 { n += $2 } END { print n + 0 }' "$OUT/storm-$build.dat")
        printf '%-8s %s, %s in all after the kill | %s\n' "$build" \
            "$(grep -o 'peak [0-9]*/s' "$OUT/storm-$build.log")" "$total" \
            "$(grep '^fleet:' "$OUT/storm-$build.log")"
    done
    exit "$status"
fi

if [ "$BROKER" = cluster ]; then
    echo "== three RabbitMQ nodes, the mirroring policy, haproxy in front"
    t0=$(date +%s)
    fleet_cluster "$OUT/cluster" "$OUT/certs"
    # shellcheck disable=SC2086
    [ "$ADDRESSED" -eq 0 ] || fleet_cluster_users "$OUT/cluster" $unit_cns
    echo "cluster up in $(($(date +%s) - t0)) s"
    driver "$OUT/cluster" --remote-port 18893 --node-ports 18891,18892,18893 \
        --haproxy-sock "$OUT/cluster/haproxy.sock" \
        --commands "$COMMANDS" --probes "$PROBES"
    if [ "$PERSISTENT" -eq 1 ] && [ "$CLEAN_UNITS" -eq 0 ]; then
        # Asked of the remote's node, which the phase leaves running: a
        # mirrored classic queue would also have survived the node's loss.
        quorum=$( (eval "$(fleet_node_env "$OUT/cluster" 3)" &&
            /usr/lib/rabbitmq/bin/rabbitmqctl -n fleet3@localhost -q list_queues name type) |
            tee "$OUT/queues.txt" | grep -c '^mqtt-subscription-02:FC:[0-9A-F:]*qos1[[:space:]]*quorum$' || true)
        echo "cluster: $quorum of $UNITS units' session queues are quorum queues"
        [ "$quorum" -eq "$UNITS" ] || { echo "fleet: FAILED: not every unit's queue is a quorum queue" >&2; exit 1; }
    fi
else
    echo "== mosquitto, mutual TLS$([ "$PROXY" -eq 0 ] || echo ', behind haproxy')"
    start_mosquitto
    driver "$OUT/broker" "${mosquitto_args[@]}" --commands "$COMMANDS" --probes "$PROBES" --outage "$OUTAGE"
fi
