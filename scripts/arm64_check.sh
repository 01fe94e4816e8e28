#!/usr/bin/env bash
# Compiles every source of the agent and its tools to a Windows ARM64 object with clang, so
# that no x86-only code creeps in. Nothing links for ARM64 here (no ARM64 mingw runtime).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QFU_ROOT"

cxx_include=$(x86_64-w64-mingw32-g++-posix -E -v -x c++ /dev/null 2>&1 |
              sed -n '/#include <...> search starts here:/,/End of search list./p' | grep '/include/c++$' | head -n 1 | tr -d ' ')
flags=(--target=aarch64-w64-mingw32 -std=c++20 -c -nostdinc++
       -isystem "$cxx_include" -isystem "$cxx_include/x86_64-w64-mingw32" -isystem /usr/x86_64-w64-mingw32/include
       -Isrc -Itools -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00
       -Wall -Wextra -Werror)
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
count=0
while IFS= read -r source; do
  clang++ "${flags[@]}" -I"$(dirname "$source")" "$source" -o "$out/object.o"
  # A COFF object starts with its machine type, little-endian: 0xAA64 for ARM64.
  machine=$(od -An -tx1 -N2 "$out/object.o" | tr -d ' \n')
  [ "$machine" = "64aa" ] || { echo "not an ARM64 object ($machine): $source"; exit 1; }
  count=$((count + 1))
done < <(find src tools -name '*.cpp' | sort)
echo "ARM64 compile check: $count sources compiled to ARM64 COFF objects"
