#!/usr/bin/env bash
# The main job in one command: builds Lumivista, makes a sample camera card
# image (real photos, some of them deleted), and recovers its photos into
# ./recovered with lumivista-cli, then shows what came back.
#
# Usage: bash tools/demo.sh      (run tools/setup.sh once before)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out="$PWD/recovered"
build="$root/build"

echo "== Building (in $build)"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
cli="$build/src/cli/lumivista-cli"

echo "== Making the sample camera card"
card=$(bash "$root/tools/make-sample-card.sh" "$build/sample-card.img")
photos="$build/photos"

echo
echo "== The drives of the card image"
"$cli" drives --image "$card"

echo
echo "== Recovering drive 1 into $out"
mkdir -p "$out"
"$cli" recover --image "$card" --drive 1 --out "$out"
folder=$(ls -td "$out"/Recovered\ Photos\(* | head -n 1)

echo
echo "== What came back"
for f in "$folder"/*; do
  name=$(basename "$f")
  match=""
  for o in "$photos"/*; do
    size=$(stat -c %s "$o")
    if [ "$(stat -c %s "$f")" -ge "$size" ] && cmp -s -n "$size" "$o" "$f"; then
      match=$(basename "$o")
      break
    fi
  done
  if [ -z "$match" ]; then
    note="(not one of the sample photos)"
  elif [ "$name" = "$match" ]; then
    note="still on the card"
  else
    note="deleted $match, found by its signature"
  fi
  printf '  %-16s %10s bytes  %s\n' "$name" "$(stat -c %s "$f")" "$note"
done
echo
echo "The photos are in: $folder"
