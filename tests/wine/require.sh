#!/usr/bin/env bash
# Runs a test only when what it needs is there; otherwise skips it
# (status 77) and says what is missing, so that a build made in another order
# shows at test time. ./check, which makes every build first, fails on such a skip.
# Usage: require.sh [--hint TEXT FILE...]... -- COMMAND ARGS...
hint=
while [ $# -gt 0 ] && [ "$1" != -- ]; do
    if [ "$1" = --hint ]; then
        hint=$2
        shift 2
        continue
    fi
    [ -e "$1" ] || { echo "skipped: missing $1 ($hint)"; exit 77; }
    shift
done
shift
exec "$@"
