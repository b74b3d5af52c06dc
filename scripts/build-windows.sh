#!/usr/bin/env bash
# Cross-builds the Windows programs (the dialog tr52k-flash-loader.exe, the
# command-line tool tr52k.exe and the simulator tr52k-sim.exe) and packs them
# with the Windows README (README.txt, CRLF) into
# dist/tr52k-windows-x86_64.zip, and into the installer
# dist/tr52k-<version>-x64.msi beside it. Each .exe stands alone: it imports
# only DLLs that come with Windows.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
build=build-windows
cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target tr52k-flash-loader tr52k tr52k-sim

stage="$build/tr52k-windows-x86_64"
rm -rf "$stage"
mkdir -p "$stage" dist
cp "$build/ui/win32/tr52k-flash-loader.exe" "$build/cli/tr52k.exe" "$build/sim/tr52k-sim.exe" "$stage/"
sed 's/\r*$/\r/' packaging/windows/README.txt >"$stage/README.txt"
for exe in "$stage"/*.exe; do
  x86_64-w64-mingw32-strip "$exe"
  # The system's own DLLs only: no libstdc++, libgcc or winpthread beside it.
  other=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' |
    grep -viE '^(kernel32|advapi32|user32|gdi32|shell32|ole32|comctl32|comdlg32|ws2_32|bcrypt|winmm|msvcrt|api-ms-win-.*)\.dll$' || true)
  if [ -n "$other" ]; then
    echo "$exe needs DLLs that Windows does not have: $other" >&2
    exit 1
  fi
done
zip="$PWD/dist/tr52k-windows-x86_64.zip"
rm -f "$zip"
(cd "$build" && cmake -E tar cf "$zip" --format=zip tr52k-windows-x86_64)
echo "$zip"
version=$(sed -n 's/^project(tr52k_flash_loader VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
msi="$PWD/dist/tr52k-$version-x64.msi"
bash packaging/windows/build-msi.sh "$stage" "$version" "$msi"
echo "$msi"
