#!/bin/sh
# Installs the build into a temporary prefix, builds the C example against
# the installed package with nothing but pkg-config, and runs it with the
# installed server on a stereo and a mono file made by sox. Everything the
# server and the client write stays in the temporary folder.
# Usage: install_and_run_example.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/qsf-install-XXXXXX")
cleanup() {
    # Only the server of this run: found by the path only it runs from.
    for pid in $(pgrep -f "^$work/" 2>/dev/null || true); do kill -9 "$pid" 2>/dev/null || true; done
    if [ -x "$work/prefix/bin/sfclient" ]; then
        HOME="$work/home" XDG_RUNTIME_DIR="$work/run" "$work/prefix/bin/sfclient" segments --remove-stale "$work/files" \
            >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

cmake --install "$build" --prefix "$work/prefix" >/dev/null
prefix="$work/prefix"
for f in include/quillorantics/client.h include/quillorantics/client.hpp bin/QuilloranticsServer bin/sfclient bin/sfpack \
         share/man/man1/sfclient.1; do
    [ -e "$prefix/$f" ] || { echo "not installed: $f"; exit 1; }
done
pcdir=$(dirname "$(find "$prefix" -name quillorantics-client.pc | head -n1)")
libdir=$(dirname "$pcdir")
[ -e "$libdir/libquillorantics-client.a" ] || { echo "static library not installed"; exit 1; }
[ -n "$(find "$prefix" -name QuilloranticsClientConfig.cmake)" ] || { echo "CMake package not installed"; exit 1; }

export PKG_CONFIG_PATH="$pcdir"
cc -Wall -Wextra -Werror "$source/examples/plugin_mix.c" $(pkg-config --cflags --libs quillorantics-client) \
    -o "$work/plugin_mix"

# The C++ layer compiles against the installed headers too.
printf '#include <quillorantics/client.hpp>\nint main() { quillorantics::Client c; return c.isValid() ? 0 : 1; }\n' >"$work/layer.cpp"
c++ -std=c++17 -Wall -Wextra -Werror "$work/layer.cpp" $(pkg-config --cflags --libs quillorantics-client) -o "$work/layer"
LD_LIBRARY_PATH="$libdir" "$work/layer"

mkdir -p "$work/run" "$work/files" "$work/home" "$work/state"
sox -n -r 44100 -b 16 -c 2 "$work/files/piano.wav" synth 1000s sine 440 vol 0.5
sox -n -r 44100 -b 16 -c 1 "$work/files/strings.wav" synth 500s sine 220 vol 0.25
status=0
output=$(HOME="$work/home" XDG_STATE_HOME="$work/state" XDG_RUNTIME_DIR="$work/run" \
         QUILLORANTICS_SERVER="$prefix/bin/QuilloranticsServer" LD_LIBRARY_PATH="$libdir" \
         "$work/plugin_mix" "$work/files/piano.wav" "$work/files/strings.wav" 2>&1) || status=$?
echo "$output"
[ $status -eq 0 ] || { echo "the example failed (exit status $status)"; exit 1; }
echo "$output" | grep -q "piano.wav: loaded, 2 channel(s)" || { echo "piano.wav not loaded"; exit 1; }
echo "$output" | grep -q "strings.wav: loaded, 1 channel(s)" || { echo "strings.wav not loaded"; exit 1; }
echo "$output" | grep -q "mixed 64 frames of 2 file(s), peak 0.0" && { echo "the mix is silent"; exit 1; }
echo "$output" | grep -q "mixed 64 frames of 2 file(s)" || { echo "nothing mixed"; exit 1; }

# The example left; its server ends with its last client.
i=0
while pgrep -f "^$prefix/bin/QuilloranticsServer" >/dev/null 2>&1; do
    i=$((i + 1))
    [ $i -le 500 ] || { echo "the server outlived its last client"; exit 1; }
    sleep 0.01
done
