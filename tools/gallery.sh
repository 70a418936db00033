#!/usr/bin/env bash
# Saves a picture of every window the program shows, in each of its four
# languages, as PNG files in build/gallery/<language folder>/, taken from the
# x86_64 build under Wine on a virtual display. Japanese runs in a Japanese
# locale, so that Wine uses code page 932 and a Japanese font.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$root/build/gallery
rm -rf "$out"
mkdir -p "$out"

windows_path() { local p=$1; echo "Z:${p//\//\\}"; }
export GAGENT_STAGE=$(windows_path "$root/build/x86_64/stage")
export GAGENT_SANDBOXES=$(windows_path "$root/build/x86_64/tests/sandboxes")
# The key agent's and its library's dialogs come from their own tests; the
# library's passphrase dialog needs a key file that asks for one.
export GAGENT_TEST_ENCRYPTED_KEY=$(windows_path "$root/tests/fuzz/corpus-key-files/openssh-ed25519-aes256-ctr")
for folder in 1033 1031 1036 1041; do
  mkdir -p "$out/$folder"
  locale=${LC_ALL:-}
  [ "$folder" = 1041 ] && locale=ja_JP.UTF-8
  for program in e2e_tests keyagent_tests; do
    GAGENT_TEST_UI_FOLDER=$folder GAGENT_GALLERY=$(windows_path "$out/$folder") LC_ALL=$locale \
      "$root/tools/test-session.sh" x86_64 "$root/tools/wine-run" \
      "$root/build/x86_64/tests/bin/$program.exe" --gtest_also_run_disabled_tests --gtest_filter='Gallery*'
  done
done

for image in "$out"/*/*.bmp; do
  convert "$image" "${image%.bmp}.png"
  rm "$image"
done
echo "gallery: $(ls "$out"/*/*.png | wc -l) pictures in $out/<language>"
