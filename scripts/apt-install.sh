#!/bin/sh
# Sourced by the scripts that install what they miss on a Debian machine.
#   apt_install PACKAGE...  installs them without recommends, as root or
#                           through sudo, updating the package lists once
#                           should the first try fail
apt_install() {
    [ $# -gt 0 ] || return 0
    echo "installing: $*"
    apt_sudo=
    [ "$(id -u)" -eq 0 ] || apt_sudo=sudo
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -qq --no-install-recommends "$@" ||
        { $apt_sudo apt-get update -qq &&
            DEBIAN_FRONTEND=noninteractive $apt_sudo apt-get install -y -qq \
                --no-install-recommends "$@"; }
}
