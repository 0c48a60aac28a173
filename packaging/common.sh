# Shared by packaging/*.sh: the repository root, root rights and missing Debian packages.
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive

# Installs from Debian's archive the packages (name or name:arch) that are not installed yet.
need_packages() {
    local missing=() p
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$p")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}"
    if ! $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"; then
        $sudo apt-get update -qq
        $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# Lets dpkg and apt handle arm64 packages beside the host's (multiarch).
need_arm64_arch() {
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo dpkg --add-architecture arm64
        $sudo apt-get update -qq
    fi
}
