#!/usr/bin/env bash
# The installer package under Wine, in a 32-bit prefix made for this run
# alone: its tables (msiinfo), a silent installation in German, what it put
# where and in which language, the installed product at work
# (installed_product_tests.exe; the installed manager with the agent its
# library starts, which Debian's ssh-add reaches through socat and the
# installed relay), refusal of the same and an older package, an upgrade
# that keeps the language, the user's language as the default, and a
# removal that leaves only the user's files. Runs inside an i686 test
# session (display, loader).
#   run-installer-tests.sh MSI STAGE_DIR INSTALLED_TESTS_EXE
set -uo pipefail
msi=$1
stage=$2
installed_tests=$3
root=$(cd "$(dirname "$0")/../.." && pwd)
wine=${GAGENT_WINE_LOADER:-/usr/lib/wine/wine}
scale=${GAGENT_TEST_TIMEOUT_SCALE:-1}
product='{EAE54A96-DACA-4727-B0E9-6ACF6B522301}'
upgrade='{1DC30A45-8E7A-4B3E-8982-76CE2E4FE1EC}'
version=$(sed -n 's/#define GAGENT_VERSION_TEXT "\(.*\)"/\1/p' "$root/resources/Version.h")

work=$(mktemp -d /tmp/installer-test.XXXXXX)
export WINEPREFIX=$work/prefix
pids=()
failures=0

cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null; done
  /usr/lib/wine/wineserver -k >/dev/null 2>&1
  /usr/lib/wine/wineserver -w >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }
check() { # description, command...
  local what=$1
  shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}
winpath() { local p=${1//\//\\}; echo "Z:$p"; }
source "$(dirname "${BASH_SOURCE[0]}")/../../tools/wait-for.sh"

# ---------------------------------------------------------------- tables
table() { (cd "$work" && msiinfo export "$1" "$2") | tr -d '\r'; }
property() { table "$msi" Property | awk -F'\t' -v p="$1" '$1 == p { print $2 }'; }
registry_row() { table "$msi" Registry | awk -F'\t' -v n="$1" '$4 == n { print $3 "|" $5 }'; }
check "product code" [ "$(property ProductCode)" = "$product" ]
check "upgrade code" [ "$(property UpgradeCode)" = "$upgrade" ]
check "product version $version" [ "$(property ProductVersion)" = "$version" ]
check "per machine" [ "$(property ALLUSERS)" = 1 ]
check "UserDir row, expandable" [ "$(registry_row UserDir)" = 'SOFTWARE\VAQGlimmerpad\|#%%USERPROFILE%' ]
check "LogDir row, expandable" [ "$(registry_row LogDir)" = 'SOFTWARE\VAQGlimmerpad\|#%%APPDATA%\Glimmerpad' ]
check "Language row" [ "$(registry_row Language)" = 'SOFTWARE\VAQGlimmerpad\|[LANGUAGE]' ]
check "agent started at logon" [ "$(registry_row 'Glimmerpad agent')" = 'SOFTWARE\Microsoft\Windows\CurrentVersion\Run|"[#gkeyagent.exe]"' ]
check "one File row per staged file" [ "$(table "$msi" File | tail -n +4 | wc -l)" = "$(find "$stage" -type f | wc -l)" ]

# The shortcut is named as the product names itself in each language (its
# window title), one per language, installed for that language alone. The
# tables are UTF-8, which no ANSI code page would hold all four in.
app_title() { sed -n 's/^ *IDS_APP_TITLE *"\(.*\)"$/\1/p' "$root/resources/lang/$1/gagent.rc"; }
languages=(1033 1031 1036 1041)
shortcut_rows() { # > "name|its component's condition" for each Shortcut row
  awk -F'\t' 'NR == FNR { if (FNR > 3) condition[$1] = $5; next } FNR > 3 { print $3 "|" condition[$4] }' \
    <(table "$msi" Component) <(table "$msi" Shortcut) | sort
}
expected_shortcut_rows() { for l in "${languages[@]}"; do echo "$(app_title "$l")|LANGUAGE = $l"; done | sort; }
check "a shortcut per language, named as the product in it" [ "$(shortcut_rows)" = "$(expected_shortcut_rows)" ]
check "tables in UTF-8" [ "$(table "$msi" _ForceCodepage | awk -F'\t' 'NR == 3 { print $1 }')" = 65001 ]
check "the refusal is the installation's language's" [ "$(table "$msi" LaunchCondition | tail -n +4 | cut -f 2)" = '[RefusalMessage]' ]
check "the German refusal names the product in German" \
  grep -q "^Diese oder eine neuere Version der $(app_title 1031) ist bereits installiert\." <(property RefusalMessage1031)

# ---------------------------------------------------------------- prefix
"$wine" wineboot -i >/dev/null 2>&1
/usr/lib/wine/wineserver -p
drive=$WINEPREFIX/drive_c
installdir="$drive/Program Files/Glimmerpad"

# msiexec ARGUMENTS... > its exit code; the log of the last run in $work/msi.log.
msiexec() {
  "$wine" msiexec "$@" /qn /l*v "$(winpath "$work/msi.log")" </dev/null >/dev/null 2>&1
  echo $?
}
reg_value() { # key, name > "TYPE VALUE" or nothing
  "$wine" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
    awk -v n="$2" 'index($0, "    " n "    ") == 1 { sub("^    " n "    ", ""); sub("    ", " "); print }'
}
settings='HKLM\SOFTWARE\VAQGlimmerpad'
run_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Run'
uninstall_key="HKLM\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product"
# Wine puts a per-machine package's Start menu entries in the user's menu.
shortcuts() { find "$drive" -path '*Start Menu/Programs/*' -name '*.lnk'; }
shortcut_names() { shortcuts | sed 's#.*/##; s/\.lnk$//' | sort; }
# The product's name in Programs and Features, as Unicode: reg query prints
# the console's code page.
display_name() {
  "$wine" reg export "$uninstall_key" "$(winpath "$work/uninstall.reg")" /y >/dev/null 2>&1 &&
    iconv -f UTF-16 -t UTF-8 "$work/uninstall.reg" | tr -d '\r' | sed -n 's/^"DisplayName"="\(.*\)"$/\1/p'
}
german=$(app_title 1031)

# ---------------------------------------------------------------- install
check "silent installation in German" [ "$(msiexec /i "$(winpath "$msi")" LANGUAGE=1031)" = 0 ]
same_files() {
  local f
  for f in $(cd "$stage" && find . -type f); do cmp -s "$stage/$f" "$installdir/$f" || { echo "differs: $f"; return 1; }; done
  [ "$(cd "$installdir" && find . -type f | wc -l)" = "$(cd "$stage" && find . -type f | wc -l)" ]
}
check "every staged file installed unchanged, nothing else" same_files
check "the German shortcut alone" [ "$(shortcut_names)" = "$german" ]
check "Start menu shortcut to the manager" grep -qa 'Glimmerpad.gagent\.exe' "$(shortcuts)"
check "the German name in Programs and Features" [ "$(display_name)" = "$german" ]
check "UserDir expandable" [ "$(reg_value "$settings" UserDir)" = 'REG_EXPAND_SZ %USERPROFILE%' ]
check "LogDir expandable" [ "$(reg_value "$settings" LogDir)" = 'REG_EXPAND_SZ %APPDATA%\Glimmerpad' ]
check "language from the property" [ "$(reg_value "$settings" Language)" = 'REG_SZ 1031' ]
check "agent at logon" [ "$(reg_value "$run_key" 'Glimmerpad agent')" = 'REG_SZ "C:\Program Files\Glimmerpad\gkeyagent.exe"' ]

# ---------------------------------------------------------------- in use
# The installed agent serves the default pipe of OpenSSH for Windows, which
# Linux's ssh-add reaches through socat and the relay installed beside it,
# on the pipe it takes by default. The installation folder's name has a
# space, which socat's EXEC would split: a script starts it.
sock=$work/agent.sock
printf '#!/bin/sh\nexec "%s" "%s"\n' "$wine" "$installdir/gagent-relay.exe" >"$work/relay.sh"
chmod +x "$work/relay.sh"
socat UNIX-LISTEN:"$sock",fork,unlink-early,mode=600 EXEC:"$work/relay.sh" </dev/null >/dev/null 2>&1 &
pids+=($!)
export SSH_AUTH_SOCK=$sock
# ssh-add -l fails alike for an empty agent and for none.
agent_answers() { ssh-add -l >/dev/null 2>&1 || [ "$(ssh-add -l 2>&1)" = "The agent has no identities." ]; }
agent_gone() { ! agent_answers; }
# The agent opens itself to other processes for no more than waiting,
# ending and the limited query, so Wine's taskkill /im, which reads names
# with more, does not find it; winedbg names it from a process snapshot.
agent_pid() {
  local hex
  hex=$("$wine" winedbg --command "info proc" 2>/dev/null | tr -d '\r' | awk '/gkeyagent\.exe/ {print $1; exit}')
  [ -n "$hex" ] && echo $((16#$hex))
}
stop_agent() {
  local pid
  pid=$(agent_pid)
  [ -z "$pid" ] || "$wine" taskkill /pid "$pid" >/dev/null 2>&1
  wait_for 100 agent_gone
}
# The output goes to a file, not a pipe: the agent that the manager's
# library starts inherits it and would hold a pipe open to the end.
installed_tests() { # output file, environment assignments..., the program and its arguments
  local out=$1 status=0
  shift
  env GAGENT_INSTALL_DIR='C:\Program Files\Glimmerpad' GAGENT_STAGE="$(winpath "$stage")" GAGENT_EXPECTED_LOCALE=4 \
    GAGENT_EXPECTED_LANGUAGE=1031 GAGENT_PACKAGE="$(winpath "$msi")" GAGENT_EXPECTED_REFUSAL="$(property RefusalMessage1031)" \
    "$@" </dev/null >"$out" 2>&1 || status=$?
  tr -d '\r' <"$out" | grep -v '^\[ *OK'
  return $status
}
installed_tests "$work/tests.out" "$wine" "$installed_tests" --gtest_brief=1 '--gtest_filter=-*Bridge*' &&
  pass "installed product tests" || fail "installed product tests"

# The manager started from the installed folder, with no agent running: its
# library starts the installed one, and a key that ssh-add adds meanwhile
# shows in the manager's list.
check "no agent left running by the tests before" stop_agent
ssh-keygen -q -t ed25519 -N '' -C 'installed agent' -f "$work/key"
installed_tests "$work/bridge-test.out" GAGENT_BRIDGE_KEY='installed agent' "$wine" "$installed_tests" --gtest_brief=1 \
  '--gtest_filter=*Bridge*' >"$work/bridge-test.txt" &
manager=$!
check "the installed manager's library starts the installed agent" wait_for 200 agent_answers
ssh-add "$work/key" >/dev/null 2>&1
check "installed agent answers ssh-add" [ "$(ssh-add -l -E sha256)" = "$(ssh-keygen -l -E sha256 -f "$work/key.pub")" ]
wait "$manager" && pass "the installed manager lists the key added with ssh-add" ||
  fail "the installed manager lists the key added with ssh-add: $(cat "$work/bridge-test.txt")"
check "agent log folder made from LogDir" test -d "$drive/users/$(id -un)/AppData/Roaming/Glimmerpad"
# The agent ends before the package replaces and removes its files.
check "the agent stopped" stop_agent
for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
pids=()

# ---------------------------------------------------------------- versions
# Wine passes on only the low byte of msiexec's exit code.
refused_by_package=$((1603 % 256)) # ERROR_INSTALL_FAILURE, from the launch condition
refused_by_installer=$((1638 % 256)) # ERROR_PRODUCT_VERSION: another package of the product
reinstall=(REINSTALL=ALL REINSTALLMODE=vomus)
# (The installed package once more is refused, in German, as the installed
# product tests saw.)
next="${version%.*}.$((${version##*.} + 1))"
python3 "$root/tools/build-msi.py" "$root/installer/gagent.wxs" "$stage" "$work/newer.msi" "$next" 2>/dev/null
check "a newer package alone is refused by the installer" [ "$(msiexec /i "$(winpath "$work/newer.msi")")" = $refused_by_installer ]
# What a package before the languages left: its English shortcut, which
# the upgrade takes away.
cp "$(shortcuts)" "$(dirname "$(shortcuts)")/Glimmerpad Key Manager.lnk"
check "a newer package $next installs over the older" [ "$(msiexec /i "$(winpath "$work/newer.msi")" "${reinstall[@]}")" = 0 ]
check "the installed version is $next" [ "$(reg_value "$uninstall_key" DisplayVersion)" = "REG_SZ $next" ]
check "the upgrade keeps the language" [ "$(reg_value "$settings" Language)" = 'REG_SZ 1031' ]
check "the upgrade keeps the German shortcut alone" [ "$(shortcut_names)" = "$german" ]
check "files still whole after the upgrade" same_files
check "an older package is refused" [ "$(msiexec /i "$(winpath "$msi")" "${reinstall[@]}")" = $refused_by_package ]
check "the refusal says why" grep -q 'or a newer one, is already installed' <(property RefusalMessage)
# A reinstallation in another language changes the shortcut with it.
french=$(app_title 1036)
check "a reinstallation in French" [ "$(msiexec /i "$(winpath "$work/newer.msi")" "${reinstall[@]}" LANGUAGE=1036)" = 0 ]
check "the French shortcut alone" [ "$(shortcut_names)" = "$french" ]
check "the French name in Programs and Features" [ "$(display_name)" = "$french" ]

# ---------------------------------------------------------------- removal
# The user's own files: settings, a key and the agent's log.
profile=$drive/users/$(id -un)
mkdir -p "$profile/.ssh" "$profile/AppData/Roaming/Glimmerpad"
echo 'ConfirmKeyOp=1' >"$profile/.ssh/gAgent"
cp "$work/key" "$profile/.ssh/id_ed25519"
echo 'log line' >>"$profile/AppData/Roaming/Glimmerpad/gAgentLog.txt"
check "silent removal" [ "$(msiexec /x "$product")" = 0 ]
check "installed folder gone" [ ! -e "$installdir" ]
check "shortcut gone" [ -z "$(shortcuts)" ]
check "product key gone" sh -c "! '$wine' reg query '$settings' >/dev/null 2>&1"
check "logon start gone" [ -z "$(reg_value "$run_key" 'Glimmerpad agent')" ]
check "product unregistered" sh -c "! '$wine' reg query '$uninstall_key' >/dev/null 2>&1"
check "the user's files stay" test -f "$profile/.ssh/gAgent" -a -f "$profile/.ssh/id_ed25519" \
  -a -f "$profile/AppData/Roaming/Glimmerpad/gAgentLog.txt"

# ---------------------------------------------------------------- defaults
# Without the property: the user's language when the product speaks it,
# else English; a value it does not speak counts as none.
default_language() { # LANG of the installing user, LANGUAGE property or ""
  local extra=()
  [ -z "$2" ] || extra=("LANGUAGE=$2")
  [ "$(LC_ALL= LANG=$1 msiexec /i "$(winpath "$msi")" "${extra[@]}")" = 0 ] || return 1
  reg_value "$settings" Language
  msiexec /x "$product" >/dev/null
}
# (Wine takes the language from a locale that glibc knows: setup makes the
# Japanese one.)
check "a Japanese user gets Japanese" [ "$(default_language ja_JP.UTF-8 '')" = 'REG_SZ 1041' ]
check "an Italian user gets English" [ "$(default_language it_IT.UTF-8 '')" = 'REG_SZ 1033' ]
check "an unknown language property gets English" [ "$(default_language en_US.UTF-8 1234)" = 'REG_SZ 1033' ]

echo "installer tests: $failures failed"
[ $failures = 0 ]
