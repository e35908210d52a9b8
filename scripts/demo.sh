#!/bin/sh
# The demo: two plug-in instances (played by sfclient) share sample files
# through one server process, which starts with the first and ends with the
# last. Everything happens in a temporary folder with its own port folder, so
# the demo never meets a server of the user's.
set -e
BIN=$(cd "${1:-build}/bin" && pwd)
DEMO=$(mktemp -d "${TMPDIR:-/tmp}/quillorantics-demo.XXXXXX")
HOLDERS=""
cleanup() {
  for p in $HOLDERS; do kill -INT "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$DEMO"
}
trap cleanup EXIT INT TERM
export XDG_RUNTIME_DIR="$DEMO/run"
mkdir -m 700 "$XDG_RUNTIME_DIR"
step() { printf '\n== %s\n' "$*"; }

step "Making a small sample library in $DEMO/Library"
mkdir -p "$DEMO/Library/Piano" "$DEMO/Library/Strings/Cello"
for n in C4:261.63 E4:329.63 G4:392.00; do
  sox -q -n -r 44100 -b 16 -c 2 "$DEMO/Library/Piano/${n%%:*}.wav" synth 1 sine "${n#*:}"
done
for n in A2:110 A3:220; do
  sox -q -n -r 48000 -b 24 -c 1 "$DEMO/Library/Strings/Cello/$n.aif" synth 1 sawtooth "${n#*:}"
done
ls -l "$DEMO/Library/Piano"

step "Packing the strings into one archive container (sfpack)"
"$BIN/sfpack" "$DEMO/Library/Strings" "$DEMO/Library/Strings.db"
rm -r "$DEMO/Library/Strings"
echo "Cello/A3.aif is now read from inside Strings.db as $DEMO/Library/Strings/Cello/A3.aif"

step "Is a server serving? (sfclient ping)"
"$BIN/sfclient" ping 2>&1 || true

step "Instance 1 registers and sends its list; the server is started for it"
"$BIN/sfclient" load --hold "$DEMO"/Library/Piano/*.wav "$DEMO/Library/Strings/Cello/A3.aif" > "$DEMO/one.out" 2>&1 &
HOLDERS="$HOLDERS $!"
sleep 2
cat "$DEMO/one.out"
"$BIN/sfclient" ping 2>&1 || true

step "Instance 2 uses two of those files and one of its own: the shared ones are held once"
"$BIN/sfclient" load --hold "$DEMO/Library/Piano/C4.wav" "$DEMO/Library/Strings/Cello/A3.aif" \
  "$DEMO/Library/Strings/Cello/A2.aif" > "$DEMO/two.out" 2>&1 &
HOLDERS="$HOLDERS $!"
sleep 2
cat "$DEMO/two.out"
NAME=$(sed -n "s/^Registered as \(.*\)\.$/\1/p" "$DEMO/two.out" | head -1)
[ -n "$NAME" ] && { echo "Progress of $NAME:"; "$BIN/sfclient" progress "$NAME"; }
echo "(Files stay queued until the sample-file readers are built; the server holds 5 distinct files for 7 uses.)"

step "Both instances leave (Ctrl-C); the server ends with its last client"
for p in $HOLDERS; do kill -INT "$p"; done
wait
HOLDERS=""
echo "Instance 1:"; tail -n 2 "$DEMO/one.out"
echo "Instance 2:"; tail -n 2 "$DEMO/two.out"
sleep 1
"$BIN/sfclient" ping 2>&1 || echo "(the server has ended)"
