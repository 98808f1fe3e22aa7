#!/bin/sh
# make install, make install DESTDIR=... and the Debian package, checked in
# a private mount namespace: /usr, /etc and /var there are overlays, so even
# an install that ignored DESTDIR could not reach the host.
#   install_test.sh BUILD_DIR SOURCE_DIR [package]
# With "package", the Debian package is built too (scripts/build-package,
# which fails on any lintian error or warning) and its tree checked.
set -eu
build=$1
source=$2
with_package=${3:-}

if [ "$(id -u)" -ne 0 ]; then
    echo "needs root for its private mount namespace: skipped"
    exit 77
fi

if [ "${KESTRUNE_INSIDE:-}" != yes ]; then
    exec env KESTRUNE_INSIDE=yes unshare --mount --propagation private sh "$0" "$@"
fi

scratch=/mnt
mount -t tmpfs tmpfs "$scratch"
for top in usr etc var; do
    mkdir "$scratch/$top.upper" "$scratch/$top.work"
    mount -t overlay overlay \
        -o "lowerdir=/$top,upperdir=$scratch/$top.upper,workdir=$scratch/$top.work" "/$top"
done
# The commands' lock directory.
mount -t tmpfs tmpfs /run

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The files and links under a root, one line each, sorted by path: a file
# with its mode, a link with its target.
tree() {
    (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | sort | while read -r path; do
        if [ -L "$1/$path" ]; then
            printf 'link %s -> %s\n' "$path" "$(readlink "$1/$path")"
        else
            printf '%s %s\n' "$(stat -c %a "$1/$path")" "$path"
        fi
    done | sort -k2,2
}

# The installed tree must be the expected one, file for file, mode for
# mode, link for link.
check_tree() {
    diff -u "$source/tests/packaging/expected-tree.txt" "$1" ||
        fail "$2: the installed files differ from tests/packaging/expected-tree.txt"
}

install_into() {
    DESTDIR="$1" cmake --install "$build" --prefix /usr >"$scratch/log" 2>&1 ||
        fail "DESTDIR install: $(cat "$scratch/log")"
}

# 1. make install DESTDIR=...
root=$scratch/root
install_into "$root"
tree "$root" >"$scratch/tree"
check_tree "$scratch/tree" "DESTDIR install"
for directory in etc/kestrune var/lib/kestrune; do
    [ "$(stat -c %a "$root/$directory")" = 755 ] || fail "$directory: mode $(stat -c %a "$root/$directory")"
done

# 2. An administrator's settings, texts and accounts survive a second
# install. (The links are absolute: under DESTDIR they are followed by hand.)
echo "GuestTime 30" >"$root/etc/kestrune/kestrune.config"
echo "our own text" >"$root/etc/kestrune/linewatchd.idle"
printf 'accounts' >"$root/var/lib/kestrune/kestrune_users"
install_into "$root"
[ "$(cat "$root/etc/kestrune/kestrune.config")" = "GuestTime 30" ] ||
    fail "a second install overwrote kestrune.config"
[ "$(cat "$root/etc/kestrune/linewatchd.idle")" = "our own text" ] ||
    fail "a second install overwrote a notice text"
[ "$(cat "$root/var/lib/kestrune/kestrune_users")" = accounts ] ||
    fail "a second install lost the account file"

# 3. A host installed when everything lived in a real /usr/lib/Kestrune:
# the install moves the site files to /etc/kestrune and the state to
# /var/lib/kestrune, keeping every byte, and lays the link.
old=$scratch/old
mkdir -p "$old/usr/lib/Kestrune"
head -c 900 /dev/urandom >"$old/usr/lib/Kestrune/kestrune_users"
head -c 130 /dev/urandom >"$old/usr/lib/Kestrune/banned_users"
echo "GuestTime 12" >"$old/usr/lib/Kestrune/kestrune.config"
cp "$old/usr/lib/Kestrune/kestrune_users" "$old/usr/lib/Kestrune/banned_users" "$scratch/"
install_into "$old"
[ "$(readlink "$old/usr/lib/Kestrune")" = /var/lib/kestrune ] ||
    fail "the old product directory did not become the link"
cmp -s "$scratch/kestrune_users" "$old/var/lib/kestrune/kestrune_users" ||
    fail "the account file did not move to /var/lib/kestrune whole"
cmp -s "$scratch/banned_users" "$old/var/lib/kestrune/banned_users" ||
    fail "the ban file did not move to /var/lib/kestrune whole"
[ "$(cat "$old/etc/kestrune/kestrune.config")" = "GuestTime 12" ] ||
    fail "the edited configuration did not move to /etc/kestrune"
tree "$old" | grep -v -e ' var/lib/kestrune/kestrune_users$' -e ' var/lib/kestrune/banned_users$' \
    >"$scratch/tree"
check_tree "$scratch/tree" "install over the old layout"

# 4. The real install, into the overlays: it enables nothing, and the
# commands work through the links. A record dropped by a rewrite (a fresh
# file renamed over the old) replaces the real file, never the link.
cmake --install "$build" --prefix /usr >"$scratch/log" 2>&1 || fail "install: $(cat "$scratch/log")"
[ ! -e /etc/systemd/system/multi-user.target.wants/linewatchd.service ] ||
    fail "the install enabled the monitor"
for user in daemon bin; do
    [ "$(/usr/sbin/ku_enrol "$user" 0 30)" = "user added: $user" ] || fail "ku_enrol $user"
done
[ "$(/usr/sbin/ku_remove daemon)" = "user deleted: daemon" ] || fail "ku_remove daemon"
[ "$(readlink /usr/lib/Kestrune)" = /var/lib/kestrune ] || fail "the rewrite moved the product link"
[ -f /var/lib/kestrune/kestrune_users ] && [ ! -L /var/lib/kestrune/kestrune_users ] &&
    [ "$(stat -c %s /var/lib/kestrune/kestrune_users)" = 90 ] ||
    fail "the rewrite did not replace the real account file"
[ "$(/usr/sbin/ku_list | awk '{ print $1 }')" = bin ] || fail "ku_list after the rewrite: $(/usr/sbin/ku_list)"

[ "$with_package" = package ] || {
    echo "install, DESTDIR install and the old layout's move: as expected"
    exit 0
}

# 5. The Debian package: lintian-clean, the same tree (but for Debian's own
# documents and compressed pages), the site files as conffiles.
"$source/scripts/build-package" "$scratch/package" >"$scratch/log" 2>&1 ||
    fail "make package: $(cat "$scratch/log")"
package=$(ls "$scratch"/package/kestrune_*.deb)
dpkg-deb -x "$package" "$scratch/unpacked"
tree "$scratch/unpacked" | sed 's/\.gz$//' |
    grep -v -e ' usr/share/doc/kestrune/changelog$' -e ' usr/share/doc/kestrune/copyright$' \
    >"$scratch/tree"
check_tree "$scratch/tree" "package"
dpkg-deb -e "$package" "$scratch/control"
sed -n 's|^644 \(etc/kestrune/.*\)|/\1|p' "$source/tests/packaging/expected-tree.txt" >"$scratch/site-files"
diff -u "$scratch/site-files" "$scratch/control/conffiles" ||
    fail "the package's conffiles are not the site files"
grep -q '^Depends: .*libc6' "$scratch/control/control" || fail "the package names no libc dependency"

echo "install, DESTDIR install, the old layout's move and the package: as expected"
