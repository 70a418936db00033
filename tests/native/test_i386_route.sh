#!/usr/bin/env bash
# Which route an i686 test session takes, checked both ways on any machine
# that gives private namespaces: once where 32-bit programs are made to fail
# as a refusing kernel fails them, once where qemu runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
route=$root/tools/i386-route
failed=0

expect() { # case, expected, actual
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1: expected $2, got $3"
    failed=1
  fi
}

# A binfmt_misc entry of a private namespace sends 32-bit x86 executables
# (the magic and mask of tools/i386-namespace) to an interpreter that does
# not exist.
refusing() {
  unshare --user --map-root-user --mount --fork bash -c '
    mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
    magic="\x7f\x45\x4c\x46\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00"
    mask="\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff"
    printf "%s" ":refuse-i386:M::$magic:$mask:/nonexistent/interpreter:" >/proc/sys/fs/binfmt_misc/register
    exec "$@"' refusing "$@"
}

expect "32-bit programs refused" emulated "$(refusing "$route")"
expect "32-bit programs refused, emulation not asked for" emulated \
  "$(refusing env GAGENT_I386_EMULATE=0 "$route")"
expect "32-bit programs run" native "$("$root/tools/i386-namespace" env -u GAGENT_I386_EMULATE "$route")"
expect "32-bit programs run, emulation asked for" emulated \
  "$("$root/tools/i386-namespace" env GAGENT_I386_EMULATE=1 "$route")"
exit "$failed"
