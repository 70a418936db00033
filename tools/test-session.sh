#!/usr/bin/env bash
# Runs a command inside a test session: a private virtual display, a Wine
# prefix of the project's own and a persistent wineserver, so that each
# Windows process starts in well under a second. Everything is torn down
# when the command ends; the command's exit code is passed on.
#   tools/test-session.sh x86_64 ctest --test-dir build/x86_64
#   tools/test-session.sh i686 ctest --test-dir build/i686
# An i686 session runs 32-bit Wine natively where the kernel runs 32-bit
# code, and under emulation (tools/i386-namespace) where it does not or
# GAGENT_I386_EMULATE=1 asks for that (tools/i386-route); emulated, its
# Windows processes start in seconds, not in well under one.
set -euo pipefail
arch=$1
shift
root=$(cd "$(dirname "$0")/.." && pwd)

export WINEPREFIX=${GAGENT_WINEPREFIX:-$root/build/wineprefix-$arch}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono/Gecko installers, no desktop menu entries.
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
if [ "$arch" = i686 ]; then
  export WINEARCH=win32
  export GAGENT_WINE_LOADER=/usr/lib/wine/wine
else
  export GAGENT_WINE_LOADER=/usr/lib/wine/wine64
fi
wine=$GAGENT_WINE_LOADER

xvfb_pid=
own_wineserver=1
cleanup() {
  # Waited for, so that a session started next on the same prefix (in a
  # namespace, say) does not find this server still going.
  [ -z "$own_wineserver" ] || { /usr/lib/wine/wineserver -k && /usr/lib/wine/wineserver -w; } >/dev/null 2>&1 || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" >/dev/null 2>&1 || true
}
trap cleanup EXIT
# A step of the session that fails says which, not only the command's silence.
trap 'echo "test-session: $arch: failed: $BASH_COMMAND (line $LINENO)" >&2' ERR

start_display() {
  local started
  started=$("$root/tools/start-display")
  export DISPLAY=${started% *}
  xvfb_pid=${started#* }
}

if [ "$arch" = i686 ] && [ -z "${GAGENT_I386_NAMESPACE:-}" ]; then
  if [ "$("$root/tools/i386-route")" = native ]; then
    echo "test-session: i686: 32-bit Wine runs natively on this kernel" >&2
  else
    if [ "${GAGENT_I386_EMULATE:-0}" != 0 ]; then
      echo "test-session: i686: 32-bit Wine runs under qemu-i386, as GAGENT_I386_EMULATE asks" >&2
    else
      echo "test-session: i686: 32-bit Wine runs under qemu-i386, 32-bit programs do not run natively here" >&2
    fi
    # The end-to-end driver stretches its waits by this factor: every step
    # of the program runs emulated.
    export GAGENT_TEST_TIMEOUT_SCALE=${GAGENT_TEST_TIMEOUT_SCALE:-8}
    # The display stays out here, where it outlives the namespace; the
    # session goes on in the namespace, with this script once more.
    own_wineserver=
    start_display
    status=0
    "$root/tools/i386-namespace" "$0" "$arch" "$@" || status=$?
    exit "$status"
  fi
fi
# A prefix keeps one display for all its programs: a wineserver that a
# program without one started has made a dialog fail. GAGENT_SESSION_DISPLAY=own
# keeps the caller's display (make run on a desktop).
[ -n "${GAGENT_I386_NAMESPACE:-}" ] || [ "${GAGENT_SESSION_DISPLAY:-}" = own ] || start_display

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  "$wine" wineboot -i >/dev/null 2>&1 || true
  # There is no window manager on the virtual display: Wine then draws the
  # frames and captions itself, as Windows would.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # Debian's Wine does not look in its own font folder: without Marlett and
  # Tahoma the caption buttons and dialog texts fall back to bitmap fonts.
  cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/"
  /usr/lib/wine/wineserver -w
fi
/usr/lib/wine/wineserver -p
# Wine's background services start with the first program; started here,
# they do not inherit (and hold open) the output pipes of the command.
"$wine" cmd /c exit </dev/null >/dev/null 2>&1
"$@"
