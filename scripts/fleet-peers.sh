#!/bin/bash
# The brokers a fleet of bridges runs against, on loopback, for scripts/fleet.sh
# (sourced by it; not run on its own). Every process started here writes its
# PID into $FLEET_PIDS/<name>.pid, so that the caller stops it by PID, and so
# does the fleet driver when it kills and restarts a broker.
#
#   fleet_install cluster|mosquitto  installs what the broker needs; a
#                                    rabbitmq-server install never leaves a
#                                    system node running
#   fleet_mosquitto DIR CERTS [PORT] one mosquitto, mutual TLS on 127.0.0.1:PORT
#                                    (18883), persistence in DIR (a remote's
#                                    persistent session survives a SIGKILL of
#                                    the broker)
#   fleet_haproxy DIR CERTS PORT...  haproxy on 127.0.0.1:18883 passing TLS
#                                    through to the brokers on PORT...
#   fleet_cluster DIR CERTS          three RabbitMQ nodes clustered (MQTT plugin,
#                                    mutual TLS on 127.0.0.1:18891-18893, epmd on
#                                    a private port), the mirroring policy for the
#                                    MQTT subscription queues, and haproxy on
#                                    127.0.0.1:18883 passing TLS through to them
#                                    (FLEET_MIRROR=0 leaves the policy out)
#   FLEET_ADDRESSED=1                units log in by their certificate's CN (their
#                                    MAC; on the cluster their name, the topics
#                                    bound to the client id) and may use only
#                                    units/<MAC>/: publish
#                                    login, status_update, info, availability,
#                                    read commands; remote and responder (CNs)
#                                    use every unit's topics
#   fleet_stop                       SIGTERM to every recorded PID, SIGKILL to
#                                    what is left after 10 s
#
# DIR is wiped first; CERTS holds scripts/make-certs.sh's ca, broker and
# haproxy-check certificates. The caller sets FLEET_ROOT (the repository) and
# FLEET_PIDS, and sources scripts/common.sh (apt_install).

FLEET_PORT=18883
FLEET_NODE_PORTS="18891 18892 18893"
FLEET_EPMD_PORT=24369

fleet_install() { # cluster|mosquitto
    local want="mosquitto openssl" missing="" p policy=/usr/sbin/policy-rc.d made_policy=0
    [ "$1" = cluster ] && want="$want rabbitmq-server haproxy"
    for p in $want; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
    done
    [ -n "$missing" ] || return 0
    # The package's maintainer scripts would start a system node (and its
    # epmd on the default port) through invoke-rc.d; the fleet runs nodes of
    # its own.
    if [ ! -e "$policy" ]; then
        printf '#!/bin/sh\nexit 101\n' >"$policy"
        chmod 0755 "$policy"
        made_policy=1
    fi
    # shellcheck disable=SC2086
    apt_install $missing || { [ "$made_policy" -eq 0 ] || rm -f "$policy"; return 1; }
    [ "$made_policy" -eq 0 ] || rm -f "$policy"
}

# Out of the shell's job table too: a broker killed on purpose is no news.
fleet_record() { # NAME PID
    echo "$2" >"$FLEET_PIDS/$1.pid"
    disown "$2" 2>/dev/null || true
}

fleet_wait_port() { # PORT SECONDS
    for _ in $(seq $(($2 * 10))); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "fleet: nothing accepts on port $1 after $2 s" >&2
    return 1
}

fleet_mosquitto() { # DIR CERTS [PORT]
    local dir=$1 certs=$2 port=${3:-$FLEET_PORT}
    rm -rf "$dir"
    mkdir -p "$dir/db"
    # shellcheck disable=SC2153
    sh "$FLEET_ROOT/scripts/peer-files.sh" broker "$port" mutual "$certs/ca.pem" \
        "$certs/broker.pem" "$certs/broker.key" "$dir/mosquitto.log" |
        sed 's/^persistence false$//' >"$dir/mosquitto.conf"
    # The fleet's remote holds a persistent session: saved every second, its
    # subscription survives a SIGKILL of the broker, which then keeps the
    # reports of bridges that come back before the remote does.
    printf '%s\n' "persistence true" "persistence_location $dir/db/" "autosave_interval 1" \
        "max_connections -1" >>"$dir/mosquitto.conf"
    [ "${FLEET_ADDRESSED:-0}" -eq 0 ] || fleet_mosquitto_acl "$dir" >>"$dir/mosquitto.conf"
    touch "$dir/mosquitto.log"
    [ "$(id -u)" -ne 0 ] || chown -R mosquitto "$dir/db" "$dir/mosquitto.log" 2>/dev/null || true
    # What the driver runs to bring a killed broker back.
    printf '#!/bin/sh\nexec mosquitto -c %s >>%s 2>&1\n' "$dir/mosquitto.conf" "$dir/mosquitto.out" \
        >"$dir/start.sh"
    chmod 0755 "$dir/start.sh"
    "$dir/start.sh" &
    fleet_record mosquitto $!
    fleet_wait_port "$port" 10
}

# Each unit's own topics by pattern (%u: the CN), the remote parties every
# unit's. What a rule does not allow, mosquitto refuses: a publish is dropped
# (acknowledged all the same), a subscription gets the failure code.
fleet_mosquitto_acl() { # DIR: the configuration lines; writes DIR/acl
    printf '%s\n' "user remote" "topic readwrite units/#" "user responder" "topic readwrite units/#" \
        "pattern write units/%u/login" "pattern write units/%u/status_update" \
        "pattern write units/%u/info" "pattern write units/%u/availability" \
        "pattern read units/%u/commands" >"$1/acl"
    printf '%s\n' "use_identity_as_username true" "acl_file $1/acl"
}

# The same on the cluster: each CN a user (certificate login, the password
# never used), permissions on the vhost, and topic permissions on amq.topic,
# where the MQTT plugin turns "/" into ".". The plugin takes a user name
# with a colon for "vhost:user", so a MAC cannot be the CN: "{client_id}"
# (the MAC) binds the topics instead of "{username}".
fleet_cluster_users() { # DIR UNIT-CN...
    local dir=$1 u
    shift
    for u in remote responder haproxy-check "$@"; do
        fleet_ctl "$dir" add_user "$u" "$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')" >/dev/null
        fleet_ctl "$dir" set_permissions -p / "$u" '.*' '.*' '.*' >/dev/null
    done
    fleet_ctl "$dir" set_topic_permissions -p / remote amq.topic '^units\.' '^units\.' >/dev/null
    fleet_ctl "$dir" set_topic_permissions -p / responder amq.topic '^units\.' '^units\.' >/dev/null
    for u in "$@"; do
        fleet_ctl "$dir" set_topic_permissions -p / "$u" amq.topic \
            '^units\.{client_id}\.(login|status_update|info|availability)$' \
            '^units\.{client_id}\.commands$' >/dev/null
    done
}

# A node's environment: its own name, ports, state and configuration; the
# Erlang cookie in its HOME, shared by the nodes and rabbitmqctl.
fleet_node_env() { # DIR K
    local n=$1/node$2
    echo "export HOME=$1 ERL_EPMD_PORT=$FLEET_EPMD_PORT RABBITMQ_NODENAME=fleet$2@localhost" \
        "RABBITMQ_NODE_IP_ADDRESS=127.0.0.1 RABBITMQ_NODE_PORT=$((25670 + $2))" \
        "RABBITMQ_DIST_PORT=$((25680 + $2)) RABBITMQ_CONFIG_FILE=$n/rabbitmq.conf" \
        "RABBITMQ_CONF_ENV_FILE=$n/rabbitmq-env.conf RABBITMQ_ENABLED_PLUGINS_FILE=$n/enabled_plugins" \
        "RABBITMQ_MNESIA_BASE=$n/mnesia RABBITMQ_LOG_BASE=$n/log RABBITMQ_PID_FILE=$n/rabbit.pid" \
        "RABBITMQ_ADVANCED_CONFIG_FILE=$n/advanced.config RUNNING_UNDER_SYSTEMD=true"
}

fleet_ctl() { # DIR rabbitmqctl-ARGS...
    local dir=$1
    shift
    (eval "$(fleet_node_env "$dir" 1)" && /usr/lib/rabbitmq/bin/rabbitmqctl -n fleet1@localhost "$@")
}

fleet_start_node() { # DIR K
    local dir=$1 k=$2
    "$dir/node$k/start.sh" >>"$dir/node$k/out.log" 2>&1 &
    fleet_record "rabbit$k" $!
}

# Anonymous as the default user, or (addressed) the certificate's CN as the
# user name.
fleet_cluster_login() {
    if [ "${FLEET_ADDRESSED:-0}" -eq 0 ]; then
        printf '%s\n' "mqtt.allow_anonymous = true" "mqtt.default_user = guest" "mqtt.default_pass = guest"
    else
        printf '%s\n' "mqtt.allow_anonymous = false" "mqtt.ssl_cert_login = true" \
            "ssl_cert_login_from = common_name"
    fi
}

fleet_cluster() { # DIR CERTS
    # shellcheck disable=SC2206
    local dir=$1 certs=$2 k port ports=($FLEET_NODE_PORTS)
    rm -rf "$dir"
    mkdir -p "$dir"
    head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n' >"$dir/.erlang.cookie"
    chmod 0400 "$dir/.erlang.cookie"
    # epmd of our own, on a private port, in the foreground so that it has a
    # PID to stop; the nodes find it there and start none of their own.
    epmd -port "$FLEET_EPMD_PORT" -address 127.0.0.1 >"$dir/epmd.log" 2>&1 &
    fleet_record epmd $!
    fleet_wait_port "$FLEET_EPMD_PORT" 10
    for k in 1 2 3; do
        port=${ports[$((k - 1))]}
        mkdir -p "$dir/node$k/log"
        : >"$dir/node$k/rabbitmq-env.conf"
        echo "[]." >"$dir/node$k/advanced.config"
        echo "[rabbitmq_mqtt]." >"$dir/node$k/enabled_plugins"
        cat >"$dir/node$k/rabbitmq.conf" <<EOF
listeners.tcp.default = 127.0.0.1:$((25670 + k))
mqtt.listeners.tcp = none
mqtt.listeners.ssl.default = 127.0.0.1:$port
# Mutual TLS: a client without a certificate of our CA is refused in the
# handshake; a client that passes it is logged in as the default user (or,
# addressed, as the user its CN names).
ssl_options.cacertfile = $certs/ca.pem
ssl_options.certfile = $certs/broker.pem
ssl_options.keyfile = $certs/broker.key
ssl_options.verify = verify_peer
ssl_options.fail_if_no_peer_cert = true
mqtt.vhost = /
$(fleet_cluster_login)
$([ "${FLEET_PERSISTENT:-0}" -eq 0 ] || echo "mqtt.durable_queue_type = quorum")
cluster_formation.peer_discovery_backend = classic_config
cluster_formation.classic_config.nodes.1 = fleet1@localhost
cluster_formation.classic_config.nodes.2 = fleet2@localhost
cluster_formation.classic_config.nodes.3 = fleet3@localhost
log.file.level = info
log.console = false
EOF
        {
            echo "#!/bin/sh"
            fleet_node_env "$dir" "$k"
            # Schedulers that do not spin when idle: three nodes share two
            # cores with the fleet.
            echo "export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS='+sbwt none +sbwtdcpu none +sbwtdio none'"
            echo "exec /usr/lib/rabbitmq/bin/rabbitmq-server"
        } >"$dir/node$k/start.sh"
        chmod 0755 "$dir/node$k/start.sh"
    done
    # The first node forms the cluster, the others join it when they boot.
    fleet_start_node "$dir" 1
    fleet_wait_port "${ports[0]}" 120
    fleet_start_node "$dir" 2
    fleet_start_node "$dir" 3
    fleet_wait_port "${ports[1]}" 120
    fleet_wait_port "${ports[2]}" 120
    local running
    running=$(fleet_ctl "$dir" cluster_status --formatter json |
        grep -o '"running_nodes":\[[^]]*\]' | grep -o 'fleet[0-9]@localhost' | sort -u | wc -l)
    if [ "$running" -ne 3 ]; then
        echo "fleet: the cluster runs $running of 3 nodes" >&2
        fleet_ctl "$dir" cluster_status >&2 || true
        return 1
    fi
    # An MQTT subscription queue (clean session included) is a durable classic
    # queue on the node the client was connected to. Without a mirror, a
    # client that comes back on another node after its node died cannot
    # subscribe until that node returns; mirrored on every node and promoted
    # even when unsynchronised, a surviving node takes it over.
    [ "${FLEET_MIRROR:-1}" -eq 0 ] || fleet_ctl "$dir" set_policy --apply-to queues mqtt-subscriptions '^mqtt-subscription-' \
        '{"ha-mode":"all","ha-promote-on-failure":"always","ha-promote-on-shutdown":"always"}' >/dev/null

    # shellcheck disable=SC2086
    fleet_haproxy "$dir" "$certs" $FLEET_NODE_PORTS
}

# haproxy in TCP mode: TLS passes through to the nodes, so the bridges see the
# nodes' certificate. Its health check is an MQTT CONNECT over mutual TLS
# that must get a CONNACK accepting it.
fleet_haproxy() { # DIR CERTS PORT...
    local dir=$1 certs=$2 k=0 port
    shift 2
    cat "$certs/haproxy-check.pem" "$certs/haproxy-check.key" >"$dir/haproxy-check.pem"
    {
        cat <<EOF
global
    maxconn 4000
    stats socket $dir/haproxy.sock mode 600 level admin
    log stdout format raw local0 notice

defaults
    mode tcp
    log global
    timeout connect 2s
    # Longer than the bridge's 60 s keep-alive, which is all that flows on an
    # idle session.
    timeout client 180s
    timeout server 180s
    timeout check 3s
    retries 2
    option redispatch

frontend mqtt
    bind 127.0.0.1:$FLEET_PORT
    default_backend nodes

backend nodes
    balance leastconn
    option tcp-check
    tcp-check connect ssl
    # CONNECT, MQTT 3.1.1, clean session, keep-alive 10 s, empty client id
    tcp-check send-binary 100c00044d5154540402000a0000
    # CONNACK, session not present, accepted
    tcp-check expect binary 20020000
    tcp-check send-binary e000
    default-server inter 1s fall 2 rise 2 check check-ssl verify required ca-file $certs/ca.pem crt $dir/haproxy-check.pem
EOF
        for port in "$@"; do
            k=$((k + 1))
            echo "    server fleet$k 127.0.0.1:$port"
        done
    } >"$dir/haproxy.cfg"
    haproxy -c -q -f "$dir/haproxy.cfg"
    haproxy -db -f "$dir/haproxy.cfg" >"$dir/haproxy.log" 2>&1 &
    fleet_record haproxy $!
    fleet_wait_port "$FLEET_PORT" 10
}

fleet_stop() {
    local f pid left
    for f in "$FLEET_PIDS"/*.pid; do
        [ -e "$f" ] || continue
        pid=$(cat "$f")
        kill "$pid" 2>/dev/null || true
    done
    for _ in $(seq 100); do
        left=0
        for f in "$FLEET_PIDS"/*.pid; do
            [ -e "$f" ] || continue
            kill -0 "$(cat "$f")" 2>/dev/null && left=1
        done
        [ "$left" -eq 0 ] && break
        sleep 0.1
    done
    for f in "$FLEET_PIDS"/*.pid; do
        [ -e "$f" ] || continue
        kill -9 "$(cat "$f")" 2>/dev/null || true
        rm -f "$f"
    done
}
