#!/usr/bin/env bash
# Saves a picture of every window the program shows so far, as PNG files in
# build/gallery/, taken from the x86_64 build under Wine on a virtual display.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/gallery
rm -rf "$out"
mkdir -p "$out"

windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
export GAGENT_STAGE=$(windows_path "$root/build/x86_64/stage")
export GAGENT_SANDBOXES=$(windows_path "$root/build/x86_64/tests/sandboxes")
export GAGENT_GALLERY=$(windows_path "$out")
"$root/tools/test-session.sh" x86_64 "$root/tools/wine-run" \
  "$root/build/x86_64/tests/bin/e2e_tests.exe" --gtest_also_run_disabled_tests --gtest_filter='Gallery*'
# The key agent's own windows.
"$root/tools/test-session.sh" x86_64 "$root/tools/wine-run" \
  "$root/build/x86_64/tests/bin/keyagent_tests.exe" --gtest_also_run_disabled_tests --gtest_filter='Gallery*'

for image in "$out"/*.bmp; do
  convert "$image" "${image%.bmp}.png"
  rm "$image"
done
echo "gallery: $(ls "$out" | wc -l) pictures in $out"
