#!/usr/bin/env bash
# Builds the Windows installer from built programs:
#   build-msi.sh EXE_DIR VERSION OUT.msi
# EXE_DIR holds tr52k-flash-loader.exe, tr52k.exe and tr52k-sim.exe. The
# README (CRLF) and the icon are taken from this folder. wixl writes the
# package from tr52k.wxs; msibuild then adds what wixl cannot say: the
# install folder appended to the system PATH on install and taken out
# again on uninstall.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exe_dir=$1 version=$2 out=$3

work=$(mktemp -d "${TMPDIR:-/tmp}/tr52k-msi.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp "$exe_dir/tr52k-flash-loader.exe" "$exe_dir/tr52k.exe" "$exe_dir/tr52k-sim.exe" "$here/../../ui/win32/tr52k.ico" "$work/"
sed 's/\r*$/\r/' "$here/README.txt" >"$work/README.txt"

# An MSI version has three numbers.
IFS=. read -r major minor patch _ <<<"$version.0.0"
# wixl takes the files' paths relative to the folder it runs in.
(cd "$work" && wixl --arch x64 -D Version="$major.${minor:-0}.${patch:-0}" -D SourceDir=. -o tr52k.msi "$here/tr52k.wxs")

# Environment: "=-*PATH" sets the system variable on install and removes
# this entry on uninstall; "[~];" appends to what is there.
printf 'Environment\tName\tValue\tComponent_\ns72\tl255\tL255\ts72\nEnvironment\tEnvironment\nPathEntry\t=-*PATH\t[~];[INSTALLDIR]\tCli\n' \
  >"$work/Environment.idt"
msibuild "$work/tr52k.msi" -i "$work/Environment.idt"
msibuild "$work/tr52k.msi" -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)"
msibuild "$work/tr52k.msi" -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)"
mkdir -p "$(dirname "$out")"
mv "$work/tr52k.msi" "$out"
