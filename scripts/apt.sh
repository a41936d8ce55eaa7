# Sourced by the other scripts: installs the Debian packages that are missing, as root or
# through sudo, and does nothing where there is no apt-get.
#   apt_install LABEL [APT-GET INSTALL OPTION...] -- PACKAGE...
apt_install() {
    local label="$1" options=() missing=()
    shift
    while [ "$1" != "--" ]; do options+=("$1"); shift; done
    shift
    command -v apt-get >/dev/null || return 0
    for package in "$@"; do
        dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "$label: need root to install: ${missing[*]}" >&2; return 1; }
        as_root=(sudo)
    fi
    echo "$label: installing ${missing[*]}"
    # Another installer may hold dpkg's lock for a while: wait for it rather than fail.
    local wait_lock=(-o DPkg::Lock::Timeout=900)
    "${as_root[@]}" apt-get "${wait_lock[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get "${wait_lock[@]}" install -y -qq "${options[@]}" \
        "${missing[@]}" >/dev/null
}
