# Run by platform-check.sh inside a release's userland (POSIX sh, set -e), with the package in
# /zq-debs/$ZQ_DEB and the sources in /zq-src: installs the package with apt, tries what it
# puts on the system, then run_suites runs pytest against the installed tree and purges it.
say() { echo "platform-check[$ZQ_ARCH]: $*"; }

cp "/zq-debs/$ZQ_DEB" /tmp/
cd /tmp
say "apt-get install ./$ZQ_DEB"
if ! apt-get install -y -q "./$ZQ_DEB" >/tmp/apt.log 2>&1; then
    cat /tmp/apt.log
    exit 1
fi
grep -E '^(Get|Setting up)' /tmp/apt.log | sed 's/^/  /'
say "installed $(dpkg-query -W -f '${Package} ${Version} ${Architecture}' zq-gps) on $(uname -m)," \
    "$(python3 --version)"

cd /
say "host import from /opt/zq_gps"
ROOT_PATH=/opt/zq_gps PYTHONPATH=/opt/zq_gps python3 -c '
import zq_gps
from libs.pyubx2 import SET, UBXMessage
assert zq_gps.__file__.startswith("/opt/zq_gps/"), zq_gps.__file__
assert UBXMessage(6, 0x11, SET, lpMode=0).serialize().hex() == "b5620611020008002191"
print("  zq_gps", zq_gps.version, "from", zq_gps.__file__)'

say "commands on PATH"
for c in zq-sim zq-ubxdump zq-ubxconfig zq-demo; do
    p="$(command -v "$c")" || { echo "platform-check: $c is not on PATH" >&2; exit 1; }
    echo "  $c -> $(readlink -f "$p")"
done
zq-sim --help >/dev/null
zq-ubxconfig --help >/dev/null
zq-ubxdump --count /zq-src/tests/captures/ublox-neo-m8n.log >/tmp/count.json
grep -q '"identity":"NAV-PVT","count":24' /tmp/count.json || {
    cat /tmp/count.json
    echo "platform-check: zq-ubxdump did not count the recording's 24 NAV-PVT" >&2
    exit 1
}
# The demo on the simulated receiver, from the installed tree alone.
DEMO_SECONDS=3 zq-demo >/tmp/demo.out 2>&1 || { cat /tmp/demo.out; exit 1; }
grep -q 'fix 3D ok' /tmp/demo.out || {
    cat /tmp/demo.out
    echo "platform-check: zq-demo printed no 3D fix" >&2
    exit 1
}
echo "  zq-demo: $(grep -c 'fix 3D ok' /tmp/demo.out) lines with a 3D fix"

rules="$(dpkg -L zq-gps | grep '/rules\.d/.*\.rules$')"
if udevadm verify --help >/dev/null 2>&1; then
    say "udevadm verify $rules"
    udevadm verify "$rules"
else
    say "udev rule $rules installed (this release's udevadm has no verify)"
    test -f "$rules"
fi

run_suites() {
    cp -a /zq-src /zq
    cd /zq
    say "pytest $*"
    s=0
    ZQ_BUILD=/opt/zq_gps ZQ_ROOT=/opt/zq_gps PYTHONDONTWRITEBYTECODE=1 \
        python3 -m pytest -q -p no:cacheprovider "$@" || s=$?
    cd /
    say "apt-get purge zq-gps"
    apt-get purge -y -q zq-gps >/tmp/purge.log 2>&1 || { cat /tmp/purge.log; exit 1; }
    for left in /opt/zq_gps /usr/bin/zq-sim /usr/bin/zq-ubxconfig "$rules"; do
        if [ -e "$left" ] || [ -L "$left" ]; then
            echo "platform-check: $left is left after purge" >&2
            s=1
        fi
    done
    return $s
}
