#!/bin/sh
# Checks the service definitions:
#  - the procd init script, sourced the way rc.common does, with the procd
#    helpers replaced by functions that record their calls;
#  - its reload as procd does it: the instance sent again, restarted only
#    when it differs from the running one, each declared file by its md5;
#  - the systemd unit's settings, and systemd-analyze verify when present;
#  - sh -n (bash -n for bash scripts) on every shell file of the repository.
# Exits non-zero on the first failed check.
set -u

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
init=$ROOT/packaging/openwrt/mqtt-serial-bridge/files/mqtt-serial-bridge.init
unit=$ROOT/packaging/systemd/mqtt-serial-bridge.service
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

. "$ROOT/packaging/tests/tally.sh"
# expect NAME EXPECTED ACTUAL
expect() {
    if [ "$2" = "$3" ]; then ok "$1"; else
        fail "$1"
        printf -- '--- expected\n%s\n--- got\n%s\n' "$2" "$3"
    fi
}

# --- procd init script -------------------------------------------------------
expect "init script is run by rc.common" '#!/bin/sh /etc/rc.common' "$(head -1 "$init")"

# Each call becomes one line: the function name, then every argument in
# brackets, so that word splitting of the command shows.
log=$tmp/procd.log
: >"$log"
record() {
    line=$1
    shift
    for a in "$@"; do line="$line [$a]"; done
    printf '%s\n' "$line" >>"$log"
}
procd_open_instance() { record procd_open_instance "$@"; }
# procd keeps the md5 of each file given with "file" in the instance's data
# (a missing file as zeros); the files live under $fsroot here.
fsroot=$tmp/fs
md5s=$tmp/md5s
: >"$md5s"
procd_set_param() {
    record procd_set_param "$@"
    [ "$1" = file ] || return 0
    shift
    for f in "$@"; do
        sum=$(md5sum 2>/dev/null <"$fsroot$f" | cut -d' ' -f1)
        printf '%s %s\n' "$f" "${sum:-00000000000000000000000000000000}" >>"$md5s"
    done
}
procd_append_param() { record procd_append_param "$@"; }
procd_close_instance() { record procd_close_instance "$@"; }

# Sourced in a subshell, as rc.common would, then start_service is called.
if (
    START='' USE_PROCD=''
    # shellcheck source=/dev/null
    . "$init"
    [ "$START" = 95 ] || { echo "START=$START"; exit 1; }
    [ "$USE_PROCD" = 1 ] || { echo "USE_PROCD=$USE_PROCD"; exit 1; }
    start_service
); then ok "init script sets START=95 and USE_PROCD=1"; else fail "init script variables"; fi

expect "procd calls of start_service" \
"procd_open_instance
procd_set_param [command] [/bin/sh] [-c] [cd /etc/mqtt-serial-bridge && exec /usr/sbin/mqtt-serial-bridge]
procd_set_param [respawn] [3600] [2] [0]
procd_set_param [file] [/etc/mqtt-serial-bridge/crt.ca.qx.pem] [/etc/mqtt-serial-bridge/tls-cert.pem] [/etc/mqtt-serial-bridge/tls-key.pem]
procd_set_param [stdout] [1]
procd_set_param [stderr] [1]
procd_close_instance" "$(cat "$log")"

# The recorded command, run with the folder and the program swapped for
# temporary ones, starts the program in that folder.
mkdir -p "$tmp/etc"
printf '#!/bin/sh\npwd > "%s/ran-in"\n' "$tmp" >"$tmp/prog"
chmod +x "$tmp/prog"
cmd=$(sed -n 's/^procd_set_param \[command\] \[\/bin\/sh\] \[-c\] \[\(.*\)\]$/\1/p' "$log" |
    sed "s|/etc/mqtt-serial-bridge|$tmp/etc|; s|/usr/sbin/mqtt-serial-bridge|$tmp/prog|")
/bin/sh -c "$cmd"
expect "command runs the program in its folder" "$tmp/etc" "$(cat "$tmp/ran-in" 2>/dev/null)"

# rc.common's reload, with no reload_service in the script, runs start
# again: procd compares the new instance with the running one and restarts
# the bridge only when they differ.
instance() {
    : >"$log"
    : >"$md5s"
    (
        # shellcheck source=/dev/null
        . "$init"
        if type reload_service >/dev/null 2>&1; then echo "reload_service defined"; fi
        start_service
    )
    cat "$log" "$md5s"
}
reload() { # NAME EXPECTED: restarted or left running
    new=$(instance)
    if [ "$new" = "$running" ]; then got="left running"; else got=restarted; fi
    running=$new
    expect "reload $1: $2" "$2" "$got"
}
conffiles=$(sed -n '/^define Package\/mqtt-serial-bridge\/conffiles/,/^endef/{/^\//p}' \
    "$ROOT/packaging/openwrt/mqtt-serial-bridge/Makefile")
[ -n "$conffiles" ] || fail "no conffiles in the package's Makefile"
for f in $conffiles; do
    mkdir -p "$fsroot${f%/*}"
    echo "first $f" >"$fsroot$f"
done
running=$(instance)
reload "with the same certificate files" "left running"
for f in $conffiles; do
    echo "rotated $f" >"$fsroot$f"
    reload "after a new ${f##*/}" restarted
    reload "once more, ${f##*/} unchanged" "left running"
done

# --- systemd unit ------------------------------------------------------------
for setting in \
    WorkingDirectory=/etc/mqtt-serial-bridge \
    ExecStart=/usr/sbin/mqtt-serial-bridge \
    Restart=always \
    RestartSec=2 \
    After=network-online.target \
    Wants=network-online.target; do
    if grep -qx "$setting" "$unit"; then ok "unit has $setting"; else fail "unit lacks $setting"; fi
done

if command -v systemd-analyze >/dev/null 2>&1; then
    # verify wants the executable to exist: check a copy that starts a stub.
    # It only warns about unknown keys or bad values, so any output fails.
    printf '#!/bin/sh\n' >"$tmp/mqtt-serial-bridge"
    chmod +x "$tmp/mqtt-serial-bridge"
    sed "s|^ExecStart=/usr/sbin/mqtt-serial-bridge|ExecStart=$tmp/mqtt-serial-bridge|" \
        "$unit" >"$tmp/mqtt-serial-bridge.service"
    out=$(systemd-analyze verify "$tmp/mqtt-serial-bridge.service" 2>&1)
    rc=$?
    if [ $rc = 0 ] && [ -z "$out" ]; then ok "systemd-analyze verify"; else
        fail "systemd-analyze verify (exit $rc)"
        printf '%s\n' "$out"
    fi
else
    echo "skip: systemd-analyze verify (systemd-analyze not installed)"
fi

# --- syntax of every shell file ------------------------------------------------
list=$tmp/shell-files
find "$ROOT" \( -path "$ROOT/.git" -o -path "$ROOT/build*" -o -path "$ROOT/.sysroot*" \) -prune -o -type f -print |
    while IFS= read -r f; do
        case $f in
        *.sh | *.init) echo "$f" ;;
        *) head -1 "$f" 2>/dev/null | grep -Eq '^#!(/usr)?/bin/(env )?(ba|da)?sh( |$)' && echo "$f" ;;
        esac
    done >"$list"
[ -s "$list" ] || fail "no shell files found"
while IFS= read -r f; do
    if head -1 "$f" | grep -q bash; then checker="bash"; else checker="sh"; fi
    if err=$($checker -n "$f" 2>&1); then ok "$checker -n ${f#"$ROOT"/}"; else
        fail "$checker -n ${f#"$ROOT"/}"
        printf '%s\n' "$err"
    fi
done <"$list"

finish
