#!/usr/bin/env bash
# Fails when a source file includes a folder above its own layer, or a folder of the same
# layer other than its own, so that the folders can never include each other in a circle:
#
#   common -> wire -> store -> package, locale -> worker -> ipc -> service
#
# qfupdatectl is a client of the agent: it may use common and wire only. src/res holds the
# program's resource scripts, which belong to the program itself, and src/setup its package
# (no C++ at all): the top of the house.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

declare -A rank=([common]=0 [wire]=1 [store]=2 [package]=3 [locale]=3 [worker]=4 [ipc]=5 [service]=6 [res]=7 [setup]=8)
failures=0
checked=0

# check FILE OWN_RANK OWN_FOLDER: every "folder/..." include must lie below, or in OWN_FOLDER.
check() {
  local file=$1 own_rank=$2 own_folder=$3 folder
  while IFS= read -r folder; do
    [ -n "${rank[$folder]+set}" ] || continue
    if [ "$folder" != "$own_folder" ] && [ "${rank[$folder]}" -ge "$own_rank" ]; then
      echo "layer check: $file includes $folder/, which is not below $own_folder/"
      failures=$((failures + 1))
    fi
  done < <(sed -n 's@^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([a-z_]*\)/.*@\1@p' "$file")
  checked=$((checked + 1))
}

for folder in "${!rank[@]}"; do
  [ -d "src/$folder" ] || continue
  while IFS= read -r file; do check "$file" "${rank[$folder]}" "$folder"; done \
    < <(find "src/$folder" -type f \( -name '*.h' -o -name '*.cpp' \))
done
while IFS= read -r file; do check "$file" 2 qfupdatectl; done \
  < <(find tools/qfupdatectl -type f \( -name '*.h' -o -name '*.cpp' \))

for folder in src/*/; do
  folder=$(basename "$folder")
  if [ -z "${rank[$folder]+set}" ]; then
    echo "layer check: src/$folder/ has no layer; give it one in scripts/layer_check.sh"
    failures=$((failures + 1))
  fi
done

if [ "$failures" -ne 0 ]; then
  echo "layer check: $failures include(s) against the layers"
  exit 1
fi
echo "layer check: $checked files include only their own layer and those below"
