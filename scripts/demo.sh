#!/bin/sh
# The demo: two plug-in instances (played by sfclient) load a small sample
# library through one server process, which reads each file once, converts
# it to float and shares it; the server starts with the first instance and
# ends with the last. Everything happens in a temporary folder with its own
# port folder, so the demo never meets a server of the user's.
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
# The log of the server the demo starts stays with the demo, too.
export XDG_STATE_HOME="$DEMO/state"
step() { printf '\n== %s\n' "$*"; }
# Waits until file $1 holds the text $2 (at most 30 s).
wait_for() {
  i=0
  until grep -q "$2" "$1" 2>/dev/null; do
    i=$((i + 1)); [ $i -gt 300 ] && { echo "demo: gave up waiting for '$2' in $1" >&2; cat "$1" >&2; exit 1; }
    sleep 0.1
  done
}
# Float bytes that the files of a load table take (channels x frames x 4).
table_bytes() { awk '/^[12] +[0-9]+ /{ s += $1 * $2 * 4 } END { print s + 0 }' "$1"; }

step "Making a small sample library in $DEMO/Library"
LIB="$DEMO/Library"
mkdir -p "$LIB/Piano" "$LIB/Strings/Cello"
sox -q -n -r 44100 -b 16 -c 2 -t wavpcm "$LIB/Piano/C4.wav" synth 3 pluck 261.63 fade 0 3 2.5
sox -q -n -r 44100 -b 24 -c 2 "$LIB/Piano/E4.aif" synth 3 pluck 329.63 fade 0 3 2.5
sox -q -n -r 44100 -b 16 -c 2 -t flac "$LIB/Piano/G4.flc" synth 3 pluck 392.00 fade 0 3 2.5
sox -q -n -r 44100 -b 8 -c 1 -t wavpcm "$LIB/Piano/click.wav" synth 0.05 noise gain -12
sox -q -n -r 48000 -b 16 -c 1 -t aifc "$LIB/Strings/Cello/A2.aifc" synth 4 sawtooth 110 gain -6
sox -q -n -r 48000 -b 24 -c 1 -t flac "$LIB/Strings/Cello/A3.flc" synth 4 sawtooth 220 gain -6
# A compressed file that carries the marker "QvCA" in place of "fLaC".
sox -q -n -r 48000 -b 16 -c 1 -t flac "$LIB/Strings/Cello/D3.flc" synth 4 sawtooth 146.83 gain -6
printf 'QvCA' | dd of="$LIB/Strings/Cello/D3.flc" bs=1 count=4 conv=notrunc 2>/dev/null
ls -l "$LIB/Piano" "$LIB/Strings/Cello"
"$BIN/sfclient" info "$LIB/Piano/E4.aif" "$LIB/Strings/Cello/D3.flc"

step "Packing the strings into one archive container (sfpack)"
"$BIN/sfpack" "$LIB/Strings" "$LIB/Strings.db"
rm -r "$LIB/Strings"
echo "Cello/A3.flc is now read from inside Strings.db as $LIB/Strings/Cello/A3.flc:"
"$BIN/sfclient" info "$LIB/Strings/Cello/A3.flc" | grep -e '^/' -e format -e container

step "Instance 1 loads the piano and one cello note; the server is started for it"
# Under a pseudo-terminal, as in a terminal, sfclient draws its progress bar.
script -qfec "'$BIN/sfclient' load --hold '$LIB/Piano/C4.wav' '$LIB/Piano/E4.aif' '$LIB/Piano/G4.flc' \
  '$LIB/Piano/click.wav' '$LIB/Strings/Cello/A3.flc'" "$DEMO/one.out" > /dev/null 2>&1 &
HOLDERS="$HOLDERS $!"
wait_for "$DEMO/one.out" "files loaded\."
tr '\r' '\n' < "$DEMO/one.out" | grep -v -e '^$' -e '^Script ' | sed -n '1,/files loaded\./p'

step "Instance 2 uses two of those files and two of its own: the shared ones are held once"
"$BIN/sfclient" load --hold "$LIB/Piano/C4.wav" "$LIB/Strings/Cello/A3.flc" "$LIB/Strings/Cello/A2.aifc" \
  "$LIB/Strings/Cello/D3.flc" \
  > "$DEMO/two.out" 2>&1 &
HOLDERS="$HOLDERS $!"
wait_for "$DEMO/two.out" "files loaded\."
sed -n '1,/files loaded\./p' "$DEMO/two.out"

step "What the sharing saves"
tr '\r' '\n' < "$DEMO/one.out" > "$DEMO/one.table"
HELD=$("$BIN/sfclient" segments "$LIB" | awk '{ s += $4 } END { print s + 0 }')
PRIVATE=$(( $(table_bytes "$DEMO/one.table") + $(table_bytes "$DEMO/two.out") ))
"$BIN/sfclient" segments "$LIB"
echo "Held once in shared memory: $HELD bytes (float32, page-rounded)."
echo "Private copies in each instance would take: $PRIVATE bytes."

step "A sample read through the server's shared memory equals the source file"
FRAME=12345
GOT=$("$BIN/sfclient" peek "$LIB/Piano/C4.wav" $FRAME | sed -n 's/^channel 0: //p')
# The source's 16-bit integer, read by sox independently of the server, at
# full scale 32768.
WANT=$(sox "$LIB/Piano/C4.wav" -t s16 - trim ${FRAME}s 1s 2>/dev/null | od -An -v -t d2 -w4 \
  | awk '{ printf "%.9g\n", $1 / 32768 }')
echo "Frame $FRAME, left channel: server $GOT, sox $WANT"
[ "$GOT" = "$WANT" ] || { echo "demo: the values differ" >&2; exit 1; }

step "Both instances leave (Ctrl-C); the server ends with its last client"
for p in $HOLDERS; do kill -INT "$p"; done
wait
HOLDERS=""
tail -n 1 "$DEMO/two.out"
i=0
while "$BIN/sfclient" ping > /dev/null 2>&1 && [ $i -lt 50 ]; do sleep 0.1; i=$((i + 1)); done
"$BIN/sfclient" ping 2>&1 || echo "(the server has ended)"
LEFT=$("$BIN/sfclient" segments "$LIB")
echo "Segments left for the library: $LEFT"
[ "$LEFT" = "No segments found." ] || { echo "demo: segments were left behind" >&2; exit 1; }
