#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Safe to run repeatedly: it only calls apt when something is missing.
set -euo pipefail

need_pkgs=(
  cmake ninja-build make python3
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 fonts-wine xvfb x11-utils imagemagick xdotool
  googletest clang libclang-rt-14-dev
  librsvg2-bin
)

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: missing packages (${missing[*]}); run as root to install them" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Start-up is tested in a double-byte code page: Wine takes code page 932
# from a Japanese locale, which glibc must know to name files in UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  if [ "$(id -u)" != 0 ]; then
    echo "setup: the ja_JP.UTF-8 locale is missing; run as root to generate it" >&2
    exit 1
  fi
  dpkg-query -W -f='${Status}' locales 2>/dev/null | grep -q 'install ok installed' || {
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends locales >/dev/null
  }
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi
