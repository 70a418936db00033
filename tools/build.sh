#!/usr/bin/env bash
# Builds the three builds of the one tree:
#   build/i686    the product as shipped (PE32), stage in build/i686/stage
#   build/x86_64  the same code for the tests under Wine
#   build/native  the pure logic with sanitizers, and the WinHelp writer
#                 that the Windows builds run, for this machine
# and the installer package of the shipped stage, build/i686/gagent.msi.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

configure() { # dir, extra cmake arguments...
  local dir=$1
  shift
  [ -f "$dir/build.ninja" ] || cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
}

# The native build comes first: it makes the WinHelp writer, which the
# Windows builds run to write their help files.
configure build/native -DCMAKE_BUILD_TYPE=Debug
cmake --build build/native

configure build/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686.cmake -DCMAKE_BUILD_TYPE=Release
configure build/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-x86_64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
for dir in build/i686 build/x86_64; do
  cmake --build "$dir"
done

# The package is made after the whole stage is: the build stops when the
# stage holds a file that the package does not install, or the other way.
msi=build/i686/gagent.msi
if [ ! -f "$msi" ] || [ -n "$(find build/i686/stage installer tools/build-msi.py resources/Version.h -newer "$msi" -print -quit)" ]; then
  echo "Packaging build/i686/stage as $msi"
  rm -f "$msi"
  python3 tools/build-msi.py installer/gagent.wxs build/i686/stage "$msi"
fi
