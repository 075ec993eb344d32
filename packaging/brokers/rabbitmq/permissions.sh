#!/bin/sh
# The users and permissions of a fleet addressed unit by unit on RabbitMQ
# 3.10's MQTT plugin, one user per certificate CN (certificate login: the
# password is set at random and never used):
#
#   permissions.sh unit CN...     a unit: publish its login, status_update,
#                                 info and availability, read its commands,
#                                 all under units/<its CN>/
#   permissions.sh remote CN...   a remote party: every unit's topics
#   permissions.sh check CN...    a health check: may log in, no topic
#
# The plugin publishes to amq.topic with each "/" turned into ".". The
# topics are bound to the user ({username}, the certificate's CN), not to
# the client id the client chose. RABBITMQCTL names the command to run
# (default: rabbitmqctl); VHOST the virtual host (default: /).
set -eu

ctl() { ${RABBITMQCTL:-rabbitmqctl} "$@" >/dev/null; }
vhost=${VHOST:-/}
role=${1:?usage: permissions.sh unit|remote|check CN...}
shift
case $role in
unit)
    write='^units\.{username}\.(login|status_update|info|availability)$'
    read='^units\.{username}\.commands$'
    ;;
remote)
    write='^units\.' read='^units\.'
    ;;
check)
    write='^$' read='^$'
    ;;
*)
    echo "permissions.sh: unknown role $role" >&2
    exit 2
    ;;
esac
for cn in "$@"; do
    ctl add_user "$cn" "$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')"
    # The plugin declares and binds a queue for each subscription.
    ctl set_permissions -p "$vhost" "$cn" '.*' '.*' '.*'
    ctl set_topic_permissions -p "$vhost" "$cn" amq.topic "$write" "$read"
done
