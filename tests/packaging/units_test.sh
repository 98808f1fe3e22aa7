#!/bin/sh
# The systemd units: each passes systemd's own check against the installed
# programs, keeps its sandbox at or below the exposure the README states,
# and, if it writes the record files, keeps the writers' lock directory.
#   units_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$(cd "$1" && pwd)
source=$(cd "$2" && pwd)

# The exposure each service may have at most, as `systemd-analyze security`
# rates it (0.0 to 10.0); the README's table of the units gives the same
# figures and why none can go lower.
exposures='
linewatchd.service   3.1
ku_expire.service    1.2
ku_refill.service    1.2
ku_reapfiles.service 1.1
ku_reapprocs.service 1.0
'

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

command -v systemd-analyze > /dev/null || fail "systemd-analyze is missing (package systemd)"
version=$(systemd-analyze --version | sed -n 's/^systemd \([0-9]*\).*/\1/p')
[ "${version:-0}" -ge 250 ] || fail "systemd $version: the offline security check needs 250 or later"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# 1. Every unit against the installed programs: the build installed into a
# root that also holds the system's own units, which the units name.
DESTDIR="$scratch/root" cmake --install "$build" --prefix /usr > "$scratch/log" ||
    fail "install: $(cat "$scratch/log")"
units=/usr/lib/systemd/system
[ -f "$units/multi-user.target" ] || fail "no system units in $units to verify against"
mkdir -p "$scratch/root$units"
cp -a "$units/." "$scratch/root$units/"
set --
for unit in "$source"/systemd/*.service "$source"/systemd/*.timer; do
    cp "$unit" "$scratch/root$units/"
    set -- "$@" "$(basename "$unit")"
done
(cd "$scratch/root$units" && systemd-analyze verify --man=no --root="$scratch/root" "$@") \
    > "$scratch/verify" 2>&1 ||
    fail "systemd-analyze verify: $(cat "$scratch/verify")"
[ ! -s "$scratch/verify" ] || fail "systemd-analyze verify: $(cat "$scratch/verify")"

# 2. Each service's exposure, and a figure for every service.
for unit in "$source"/systemd/*.service; do
    name=$(basename "$unit")
    figure=$(echo "$exposures" | awk -v unit="$name" '$1 == unit { print $2 }')
    [ -n "$figure" ] || fail "$name has no exposure figure in $0"
    # The threshold is in tenths.
    threshold=$(echo "$figure" | awk -F. '{ print $1 * 10 + $2 }')
    systemd-analyze security --offline=true --threshold="$threshold" "$unit" > "$scratch/security" 2>&1 ||
        fail "$name: exposure above $figure; $(tail -n 1 "$scratch/security")
$(cat "$scratch/security")"
done
for name in $(echo "$exposures" | awk '{ print $1 }'); do
    [ -f "$source/systemd/$name" ] || fail "an exposure figure for $name, which is no unit"
done

# 3. Under ProtectSystem=strict /run is read-only: a unit that writes the
# record files must have systemd make the lock directory, root's alone,
# and leave it when the unit stops, as the other writers' locks are in it.
for unit in "$source"/systemd/*.service; do
    grep -q '^ReadWritePaths=.*/usr/lib/Kestrune' "$unit" || continue
    for line in RuntimeDirectory=kestrune RuntimeDirectoryMode=0700 RuntimeDirectoryPreserve=yes; do
        grep -qx "$line" "$unit" || fail "$(basename "$unit") writes the record files without $line"
    done
done

echo "units: verified, within their exposure, with the lock directory kept"
