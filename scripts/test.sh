#!/usr/bin/env bash
# Sets up a Debian 12 machine and runs every test: the native portable core under
# sanitizers, a bounded fuzz run, the ARM64 compile check, and the Windows tests under Wine
# in a throwaway prefix. Exits non-zero on any failure.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QFU_ROOT"

FUZZ_SECONDS="${QFU_FUZZ_SECONDS:-60}"

qfu_install_packages

echo "== layer check"
scripts/layer_check.sh

echo "== layout and test budget"
scripts/source_check.sh

echo "== native build and tests (ASan, UBSan)"
qfu_build native
ctest --preset native --output-on-failure

# QFU_FUZZ_SECONDS is the budget of the whole fuzz phase, shared out evenly, so that a new
# fuzzer does not lengthen the run. Each fuzzer keeps a corpus of its own.
fuzzers=(build/native/*_fuzz)
fuzz_each=$(( FUZZ_SECONDS / ${#fuzzers[@]} ))
(( fuzz_each > 0 )) || fuzz_each=1
echo "== fuzzing for ${FUZZ_SECONDS}s in all, ${fuzz_each}s for each of ${#fuzzers[@]} fuzzers"
for fuzzer in "${fuzzers[@]}"; do
  corpus="$QFU_ROOT/.work/fuzz-corpus/$(basename "$fuzzer")"
  mkdir -p "$corpus"
  "$fuzzer" -max_total_time="$fuzz_each" -max_len=70000 -timeout=10 "$corpus" 2>&1 | tail -n 1
done

echo "== ARM64 compile check"
scripts/arm64_check.sh

echo "== Windows build and tests under Wine"
qfu_build win64
qfu_wine_prefix "$QFU_ROOT/.work/test-prefix"
trap qfu_wine_stop EXIT
ctest --preset win64 --output-on-failure -j 2
