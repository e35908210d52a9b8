#!/bin/sh
# Runs every benchmark of the plain build. Each prints its figures as ratios
# against a baseline measured in the same run.
set -e
BUILD=${1:-build}
for b in "$BUILD"/bench/*Bench; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b") =="
  "$b"
done
