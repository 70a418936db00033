#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian 12 machine.
# Safe to run repeatedly: it only calls apt when something is missing.
set -euo pipefail

need_pkgs=(
  cmake ninja-build make python3
  mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  wine wine64 fonts-wine fonts-vlgothic xvfb x11-utils imagemagick xdotool
  googletest clang libclang-rt-14-dev
  librsvg2-bin icoutils python3-pefile
  libgcrypt-mingw-w64-dev libgpg-error-mingw-w64-dev libgcrypt20-dev
  openssh-client openssh-server socat openssl
  msitools wixl
)

installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

need_root() { # what is missing
  if [ "$(id -u)" != 0 ]; then
    echo "setup: $1; run as root to install it" >&2
    exit 1
  fi
  export DEBIAN_FRONTEND=noninteractive
}

# One package list download per run, and a fresh one after the sources change.
# A mirror in the middle of a sync serves lists that do not match their
# release file: apt then exits 100 and keeps the lists it had. The download
# is tried again (-o APT::Update::Error-Mode=any makes any list that failed
# an error), and when one list still fails, setup goes on with the others
# and says so: the install that follows either finds what it needs in them
# or fails with apt's own message.
lists_fresh=
update_lists() {
  [ -z "$lists_fresh" ] || return 0
  lists_fresh=1
  local attempt log
  log=$(mktemp)
  for attempt in 1 2 3; do
    if apt-get update -qq -o APT::Update::Error-Mode=any >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    echo "setup: downloading the package lists failed (attempt $attempt of 3):" >&2
    grep -E '^(E|W):' "$log" | head -n 3 >&2 || true
    [ "$attempt" = 3 ] || sleep $((attempt * 15))
  done
  rm -f "$log"
  echo "setup: going on with the package lists that did download; the install below says what is missing" >&2
}

# apt's own message says why; this line says which step of setup it was.
install_packages() { # apt-get install arguments...
  if ! apt-get install -y -qq --no-install-recommends "$@" >/dev/null; then
    echo "setup: installing failed: apt-get install $*" >&2
    exit 1
  fi
}

missing=()
for p in "${need_pkgs[@]}"; do
  installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  need_root "missing packages (${missing[*]})"
  update_lists
  install_packages "${missing[@]}"
fi

# Start-up is tested in a double-byte code page: Wine takes code page 932
# from a Japanese locale, which glibc must know to name files in UTF-8.
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  need_root "the ja_JP.UTF-8 locale is missing"
  installed locales || {
    update_lists
    install_packages locales
  }
  localedef -i ja_JP -f UTF-8 ja_JP.UTF-8
fi

# The shipped i686 build is tested too, on 32-bit Wine. Where the kernel
# refuses 32-bit code, Wine's Linux side runs under qemu's user-mode emulator
# (see tools/i386-namespace), and where it does not, that route is still
# tested, so qemu is needed on every machine. Bookworm's own qemu 7.2 takes
# about a minute of CPU to start each Wine process and crashes some, so it
# must come from backports.
qemu_floor=1:10
qemu_ok() {
  installed qemu-user &&
    dpkg --compare-versions "$(dpkg-query -W -f='${Version}' qemu-user)" ge "$qemu_floor" &&
    [ -x /usr/bin/qemu-i386 ]
}

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  need_root "the i386 package architecture is missing"
  dpkg --add-architecture i386
  lists_fresh=
fi

backports_list=/etc/apt/sources.list.d/bookworm-backports.list
if ! grep -Eqs '^[^#]*bookworm-backports' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
  /etc/apt/sources.list.d/*.sources; then
  need_root "the bookworm-backports package source is missing"
  echo 'deb http://deb.debian.org/debian bookworm-backports main' >"$backports_list"
  lists_fresh=
fi

if ! installed wine32:i386; then
  need_root "the 32-bit Wine (wine32:i386) is missing"
  update_lists
  # --no-remove: should the 32-bit half ever clash with the installed 64-bit
  # Wine, stop rather than let apt take the 64-bit one away.
  install_packages --no-remove wine32:i386
fi

if ! qemu_ok; then
  need_root "qemu-user $qemu_floor or newer is missing"
  update_lists
  install_packages --no-remove -t bookworm-backports qemu-user
  if ! qemu_ok; then
    echo "setup: qemu-user is $(dpkg-query -W -f='${Version}' qemu-user 2>/dev/null || echo 'not installed')" \
      "after installing it from bookworm-backports; the i686 tests need $qemu_floor or newer" >&2
    exit 1
  fi
fi

# The x86_64 tests run on the 64-bit loader, which must survive the 32-bit
# half arriving beside it.
if ! /usr/lib/wine/wine64 --version >/dev/null 2>&1 || [ ! -x /usr/lib/wine/wine ]; then
  echo "setup: the Wine loaders /usr/lib/wine/wine64 and /usr/lib/wine/wine are not both usable" >&2
  exit 1
fi
