#!/bin/sh
# make install, make install DESTDIR=... and the Debian package, checked in
# a private mount namespace: /usr there is an overlay, so even an install
# that ignored DESTDIR could not reach the host.
#   install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2

if [ "$(id -u)" -ne 0 ]; then
    echo "needs root for its private mount namespace: skipped"
    exit 77
fi

if [ "${KESTRUNE_INSIDE:-}" != yes ]; then
    exec env KESTRUNE_INSIDE=yes unshare --mount --propagation private sh "$0" "$@"
fi

scratch=/mnt
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/upper" "$scratch/work"
mount -t overlay overlay -o "lowerdir=/usr,upperdir=$scratch/upper,workdir=$scratch/work" /usr

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The files under a root with their modes, one line each, sorted.
tree() {
    (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | sort | while read -r path; do
        printf '%s %s\n' "$(stat -c %a "$1/$path")" "$path"
    done
}

# The installed tree must be the expected one, file for file, mode for mode.
check_tree() {
    tree "$1" > "$scratch/tree"
    diff -u "$source/tests/packaging/expected-tree.txt" "$scratch/tree" ||
        fail "$2: the installed files differ from tests/packaging/expected-tree.txt"
}

# 1. make install DESTDIR=...
DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr > "$scratch/log" ||
    fail "DESTDIR install: $(cat "$scratch/log")"
check_tree "$scratch/root" "DESTDIR install"
[ "$(stat -c %a "$scratch/root/usr/lib/Kestrune")" = 755 ] || fail "product directory mode"

# 2. An administrator's settings and texts survive a second install.
echo "GuestTime 30" > "$scratch/root/usr/lib/Kestrune/kestrune.config"
echo "our own text" > "$scratch/root/usr/lib/Kestrune/linewatchd.idle"
DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr > /dev/null
[ "$(cat "$scratch/root/usr/lib/Kestrune/kestrune.config")" = "GuestTime 30" ] ||
    fail "a second install overwrote kestrune.config"
[ "$(cat "$scratch/root/usr/lib/Kestrune/linewatchd.idle")" = "our own text" ] ||
    fail "a second install overwrote a notice text"

# 3. The real install, into the overlay: the units must pass systemd's own
# check against the programs they start, where they were installed.
cmake --install "$build" --prefix /usr > /dev/null
for unit in "$source"/systemd/*.service "$source"/systemd/*.timer; do
    name=$(basename "$unit")
    cmp -s "$unit" "/usr/lib/systemd/system/$name" || fail "$name not installed"
done
(cd /usr/lib/systemd/system &&
 systemd-analyze verify --man=no linewatchd.service ku_*.service ku_*.timer) > "$scratch/verify" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$scratch/verify")"
[ ! -s "$scratch/verify" ] || fail "systemd-analyze verify: $(cat "$scratch/verify")"
[ ! -e /etc/systemd/system/multi-user.target.wants/linewatchd.service ] ||
    fail "the install enabled the monitor"

# 4. The Debian package holds the same tree, with the site files as conffiles.
(cd "$build" && cpack -G DEB -B "$scratch/package" > "$scratch/log" 2>&1) ||
    fail "cpack: $(cat "$scratch/log")"
package=$(ls "$scratch"/package/kestrune_*.deb)
dpkg-deb -x "$package" "$scratch/unpacked"
check_tree "$scratch/unpacked" "package"
dpkg-deb -e "$package" "$scratch/control"
sed -n 's/^\([0-9]*\) usr\/lib\/Kestrune\/\(.*\)/\/usr\/lib\/Kestrune\/\2/p' \
    "$source/tests/packaging/expected-tree.txt" > "$scratch/site-files"
diff -u "$scratch/site-files" "$scratch/control/conffiles" ||
    fail "the package's conffiles are not the site files"
grep -q '^Depends: .*libc6' "$scratch/control/control" || fail "the package names no libc dependency"

echo "install, DESTDIR install, units and package: as expected"
