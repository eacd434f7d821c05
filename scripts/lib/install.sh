# Installs the Debian packages a script found missing. Sourced by the scripts;
# `install_missing NAME PACKAGE...` does nothing without packages, refuses
# without root rights, and adds the armhf architecture when a package needs it.
install_missing() {
    local name=$1
    shift
    [ $# -gt 0 ] || return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "$name: missing $*; run as root to install them" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    if [[ " $*" == *:armhf* ]] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
        dpkg --add-architecture armhf
    fi
    apt-get update -q
    apt-get install -y -q --no-install-recommends "$@"
}
