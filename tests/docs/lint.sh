#!/bin/sh
# Lints every manual page of a directory: any warning or error that mandoc
# finds fails the test, and so does any warning of groff (all of them on),
# when groff is installed. Usage: lint.sh <directory of the pages>
set -u

dir=${1:?usage: lint.sh <directory of the pages>}

if ! command -v mandoc >/dev/null 2>&1; then
    echo "lint.sh: mandoc is not installed (scripts/install-deps installs it)" >&2
    exit 1
fi
have_groff=false
command -v groff >/dev/null 2>&1 && have_groff=true

status=0
pages=0
for page in "$dir"/*.1 "$dir"/*.5 "$dir"/*.8; do
    [ -e "$page" ] || continue
    pages=$((pages + 1))
    # Both tools exit 0 on some warnings: what they print decides.
    found=$(mandoc -T lint -W warning "$page" 2>&1) || status=1
    if [ -n "$found" ]; then
        printf '%s\n' "$found"
        status=1
    fi
    if $have_groff; then
        found=$(groff -man -ww -z "$page" 2>&1) || status=1
        if [ -n "$found" ]; then
            printf '%s: %s\n' "$page" "$found"
            status=1
        fi
    fi
done

if [ "$pages" -eq 0 ]; then
    echo "lint.sh: no manual pages in $dir" >&2
    exit 1
fi
$have_groff || echo "lint.sh: groff is not installed; checked with mandoc only"
echo "lint.sh: $pages pages checked"
exit $status
