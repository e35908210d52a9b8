#!/bin/sh
# The demo: a short run of what is built so far.
set -e
BUILD=${1:-build}
echo "== Unit tests of the foundation (strings, arrays) =="
cd "$BUILD" && ctest -R 'RhString|RhDynArray|RhStringList' --output-on-failure
