#!/usr/bin/env bash
# The Windows installer under Wine: built from the cross-built programs as
# scripts/build-windows.sh builds it, installed silently, then checked as a
# user would find it: the programs under Program Files with their version
# resources, the Start menu shortcut, "tr52k --version" from a new shell's
# PATH, the Add/Remove Programs entry; a newer version replacing it; the
# uninstall taking all of that away again, and leaving the user's settings
# and update history as they were.
#
# Usage: msi_install.sh DIALOG_EXE TR52K_EXE TR52K_SIM_EXE VERSION WORK_DIR
# Needs WINEPREFIX (a scratch prefix) and a running wineserver.
set -euo pipefail
dialog=$1 cli=$2 simexe=$3 version=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../support/e2e.sh"
need_wine_prefix
export LC_ALL=C.UTF-8
unset TR52K_REGISTRY_FILE
rm -rf "$work"
mkdir -p "$work/stage"

cp "$dialog" "$cli" "$simexe" "$work/stage/"
bash "$here/../../packaging/windows/build-msi.sh" "$work/stage" "$version" "$work/tr52k.msi"
# The same programs as the next version, for the upgrade.
next="${version%%.*}.$(( $(cut -d. -f2 <<<"$version.0") + 1 ))"
bash "$here/../../packaging/windows/build-msi.sh" "$work/stage" "$next" "$work/tr52k-next.msi"
product() { msiinfo export "$1" Property | sed -n 's/^ProductCode\t\(.*\)\r\?$/\1/p' | tr -d '\r'; }
code=$(product "$work/tr52k.msi") next_code=$(product "$work/tr52k-next.msi")

win() { wine "$@" </dev/null 2>>"$work/wine.err"; }
unix() { winepath -u "$1" 2>/dev/null; }
dir=$(unix 'C:\Program Files\Korvanex\TR52K Flash File Loader')
# The shortcut is for all users; Wine's msiexec puts it in the installing
# user's Start menu, so either counts.
menus=("$(unix "$(win cmd /c echo %ProgramData% | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs")"
       "$(unix "$(win cmd /c echo %APPDATA% | tr -d '\r')\\Microsoft\\Windows\\Start Menu\\Programs")")
shortcut() { for m in "${menus[@]}"; do [ -f "$m/TR52K Flash File Loader.lnk" ] && echo "$m/TR52K Flash File Loader.lnk"; done; true; }
history_dir=$(unix "$(win cmd /c echo %LOCALAPPDATA% | tr -d '\r')\\tr52k")
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
arp_version() { win reg query "$uninstall\\$1" /v DisplayVersion 2>/dev/null | tr -d '\r' | sed -n 's/.*REG_SZ *//p'; }

environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
system_path() { win reg query "$environment" /v PATH | tr -d '\r' | sed -n 's/.*REG_EXPAND_SZ *//p'; }
path_before=$(system_path)
# Wine's uninstall takes the folder out of the PATH but leaves its ';'
# behind, and an empty entry stops Wine's cmd.exe from searching further:
# the prefix's PATH is put back as it was, whatever happens here.
trap 'win reg add "$environment" /v PATH /t REG_EXPAND_SZ /d "$path_before" /f >/dev/null || true' EXIT

# The user's own settings and history, which no uninstall may touch.
win reg add 'HKCU\Software\Korvanex\TR52K' /v ETHERNET_IP_ADDR /t REG_SZ /d 127.0.0.77 /f >/dev/null
mkdir -p "$history_dir"
echo '{"time":"2026-01-01T00:00:00Z","program":"tr52k","target":"DSP1","result":"completed"}' >"$history_dir/history.jsonl"
cp "$history_dir/history.jsonl" "$work/history.before"

msiexec() {  # msiexec /i|/x PACKAGE
  local rc=0
  win msiexec "$1" "$(winepath -w "$2")" /qn || rc=$?
  [ "$rc" = 0 ] || fail "msiexec $1 $2 exited $rc"
}
tr52k_version() { win cmd /c tr52k --version | tr -d '\r' || true; }

msiexec /i "$work/tr52k.msi"
# Each program with its version resource and a manifest asking for no
# elevation and declaring DPI awareness; the README in CR LF lines.
for f in tr52k-flash-loader.exe tr52k.exe tr52k-sim.exe; do
  strings -n 3 -el "$dir/$f" 2>/dev/null | grep -qx "$version" || fail "$f is missing or has no version resource with $version"
  grep -qa 'level="asInvoker"' "$dir/$f" && grep -qa 'PerMonitorV2' "$dir/$f" || fail "$f lacks asInvoker or DPI awareness"
done
grep -q $'\r$' "$dir/README.txt" && ! grep -qv $'\r$' "$dir/README.txt" || fail "README.txt is missing or not in CR LF lines"
grep -qF 'HKEY_CURRENT_USER\Software\Korvanex\TR52K' "$dir/README.txt" || fail "README.txt does not say where the settings are"
lnk=$(shortcut)
[ -n "$lnk" ] || fail "no Start menu shortcut in ${menus[*]}"
[ -z "$lnk" ] || strings -el "$lnk" | grep -q 'tr52k-flash-loader.exe' || fail "the shortcut does not start the dialog"
out=$(tr52k_version)
[ "$out" = "tr52k $version" ] || fail "tr52k --version from a new shell's PATH said: $out"
[ "$(arp_version "$code")" = "$version.0" ] || fail "Add/Remove Programs shows '$(arp_version "$code")', not $version.0"

# A newer version replaces the older one.
msiexec /i "$work/tr52k-next.msi"
[ -z "$(arp_version "$code")" ] || fail "the older version is still in Add/Remove Programs"
[ "$(arp_version "$next_code")" = "$next.0" ] || fail "the newer version is not in Add/Remove Programs"
[ -f "$dir/tr52k.exe" ] || fail "tr52k.exe is gone after the upgrade"

# Uninstall.
msiexec /x "$work/tr52k-next.msi"
[ ! -e "$dir" ] || fail "$dir is still there: $(ls -A "$dir" 2>/dev/null | tr '\n' ' ')"
[ -z "$(shortcut)" ] || fail "the Start menu shortcut is still there"
[ -z "$(arp_version "$next_code")" ] || fail "the Add/Remove Programs entry is still there"
path=$(system_path)
grep -qi 'TR52K Flash File Loader' <<<"$path" && fail "the system PATH still names the install folder: $path"
[ "$(tr52k_version)" != "tr52k $version" ] || fail "tr52k still runs from the PATH"
win reg query 'HKCU\Software\Korvanex\TR52K' /v ETHERNET_IP_ADDR | grep -q 127.0.0.77 || fail "the user's settings are gone"
cmp -s "$work/history.before" "$history_dir/history.jsonl" || fail "the user's update history changed"
win reg delete 'HKCU\Software\Korvanex\TR52K' /f >/dev/null || true
rm -f "$history_dir/history.jsonl"

if [ "$failures" -ne 0 ]; then
  echo "$failures checks failed" >&2
  tail -20 "$work/wine.err" | sed 's/^/  wine: /' >&2
  exit 1
fi
echo "the installer installs, upgrades and uninstalls cleanly"
