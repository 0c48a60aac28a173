# Shared by packaging/*.sh: the repository root, root rights, missing Debian packages, the
# Debian releases we build for and the cached debootstrap chroots of them.
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
host_arch="$(dpkg --print-architecture)"
# Cached userlands, one per release, architecture and role (build or test).
chroots="${ZQ_CHROOT_DIR:-$repo/build-chroots}"

# apt waits for a lock another apt holds instead of failing at once.
apt_get() { $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"; }

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
    if ! apt_get install -y -qq --no-install-recommends "${missing[@]}"; then
        apt_get update -qq
        apt_get install -y -qq --no-install-recommends "${missing[@]}"
    fi
}

# Lets dpkg and apt handle arm64 packages beside the host's (multiarch).
need_arm64_arch() {
    if ! dpkg --print-foreign-architectures | grep -qx arm64; then
        $sudo dpkg --add-architecture arm64
        apt_get update -qq
    fi
}

# Debian release number (12, 13) -> codename, and the machine's own release number.
codename() {
    case "$1" in
        12) echo bookworm ;;
        13) echo trixie ;;
        *) echo "packaging: no Debian release $1 (known: 12 13)" >&2; return 1 ;;
    esac
}
host_release() { (. /etc/os-release && echo "${VERSION_ID%%.*}"); }

# The Debian mirror the machine's apt uses (ZQ_DEBIAN_MIRROR overrides).
debian_mirror() {
    if [ -n "${ZQ_DEBIAN_MIRROR:-}" ]; then echo "$ZQ_DEBIAN_MIRROR"; return; fi
    local m
    m="$(apt-get indextargets --format '$(REPO_URI) $(CODENAME) $(TARGET_OF)' 2>/dev/null |
        awk '$3 == "deb" && $2 !~ /-security$/ && $1 !~ /security/ && $1 ~ /debian/ { print $1; exit }')"
    echo "${m:-http://deb.debian.org/debian/}"
}

# Registers qemu user emulation for AArch64 ELF executables with binfmt_misc. The F flag opens
# the emulator now, so it need not exist inside a chroot.
need_qemu_aarch64() {
    need_packages qemu-user-static
    local binfmt=/proc/sys/fs/binfmt_misc
    if [ ! -e "$binfmt/register" ]; then
        $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
    fi
    if [ ! -e "$binfmt/qemu-aarch64" ]; then
        local magic mask
        magic='\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00'
        mask='\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
        echo ":qemu-aarch64:M::$magic:$mask:/usr/bin/qemu-aarch64-static:F" |
            $sudo tee "$binfmt/register" >/dev/null
    fi
    grep -q '^enabled' "$binfmt/qemu-aarch64"
}

# Makes (once) a minimal userland of Debian SUITE for ARCH in DIR with the comma-separated
# PACKAGES from that release's archive. The stamp records what it was made with; a userland
# made with other arguments is made anew.
ensure_chroot() {
    local dir="$1" suite="$2" arch="$3" include="$4"
    local stamp="$dir/.zq-chroot-ready" want="$suite $arch $include"
    if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then return 0; fi
    if findmnt -rno TARGET | grep -q "^$dir/"; then
        echo "packaging: $dir has mounts inside; not remaking it" >&2
        return 1
    fi
    need_packages debootstrap
    local mirror
    mirror="$(debian_mirror)"
    echo "== debootstrap $suite $arch into $dir (from $mirror)"
    $sudo rm -rf "$dir"
    $sudo mkdir -p "$(dirname "$dir")"
    # debootstrap lays the base system; apt adds PACKAGES (debootstrap's own resolver does
    # not follow virtual packages, which e.g. lintian's dependencies on Debian 13 need).
    if [ "$arch" = "$host_arch" ]; then
        $sudo debootstrap --arch="$arch" --variant=minbase "$suite" "$dir" "$mirror"
    else
        [ "$arch" = arm64 ] || { echo "packaging: no emulation for $arch" >&2; return 1; }
        need_qemu_aarch64
        $sudo debootstrap --arch="$arch" --foreign --variant=minbase "$suite" "$dir" "$mirror"
        $sudo chroot "$dir" /debootstrap/debootstrap --second-stage
    fi
    echo "deb $mirror $suite main" | $sudo tee "$dir/etc/apt/sources.list" >/dev/null
    printf 'APT::Install-Recommends "false";\nAPT::Install-Suggests "false";\n' |
        $sudo tee "$dir/etc/apt/apt.conf.d/90zq-no-recommends" >/dev/null
    # No services start inside the userland.
    printf '#!/bin/sh\nexit 101\n' | $sudo tee "$dir/usr/sbin/policy-rc.d" >/dev/null
    $sudo chmod 755 "$dir/usr/sbin/policy-rc.d"
    if [ -n "$include" ]; then
        echo "apt-get update -qq && apt-get install -y -qq $(echo "$include" | tr , ' ') >/dev/null" |
            in_chroot "$dir"
    fi
    echo "$want" | $sudo tee "$stamp" >/dev/null
}

# Runs a shell script (stdin) as root inside the userland DIR, in a private mount namespace:
# /proc, /dev (ptys) and /tmp for the chroot vanish with it. Further arguments are
# "HOSTDIR:DIR-IN-CHROOT" bind mounts, read-only unless ":rw" follows. With ZQ_THROWAWAY=1 the script runs on a
# layer over the userland (overlayfs) that is dropped afterwards: the cached userland stays as
# debootstrap made it. ZQ_CHROOT_ENV adds NAME=VALUE words to the script's environment.
in_chroot() {
    local dir="$1"
    shift
    local root="$dir" pre="" binds="" b layer=""
    if [ -n "${ZQ_THROWAWAY:-}" ]; then
        layer="$($sudo mktemp -d "$(dirname "$dir")/.layer.XXXXXX")"
        root="$layer/merged"
        $sudo mkdir -p "$layer/upper" "$layer/work" "$root"
        pre="mount -t overlay overlay -o lowerdir='$dir',upperdir='$layer/upper',workdir='$layer/work' '$root'"
    fi
    for b in "$@"; do
        local host="${b%%:*}" rest="${b#*:}" inside mode=ro
        inside="${rest%%:*}"
        [ "$rest" = "$inside" ] || mode="${rest#*:}"
        binds="$binds mkdir -p '$root$inside'; mount --bind '$host' '$root$inside';"
        [ "$mode" = rw ] || binds="$binds mount -o remount,bind,ro '$root$inside';"
    done
    local script status=0
    script="$(mktemp)"
    cat >"$script"
    $sudo unshare --mount --propagation private -- /bin/sh -c "
        set -e
        $pre
        mount -t proc proc '$root/proc'
        mount --rbind /dev '$root/dev'
        mount -t tmpfs tmpfs '$root/tmp'
        mkdir -p '$root/zq-run'
        mount -t tmpfs tmpfs '$root/zq-run'
        cp '$script' '$root/zq-run/run.sh'
        $binds
        exec chroot '$root' /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
            LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive ${ZQ_CHROOT_ENV:-} /bin/sh -e /zq-run/run.sh" ||
        status=$?
    rm -f "$script"
    if [ -n "$layer" ]; then $sudo rm -rf "$layer"; fi
    return $status
}
