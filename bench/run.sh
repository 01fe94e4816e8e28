#!/usr/bin/env bash
# Runs every benchmark under Wine and prints their figures, each line ending in "ratio X.XX"
# (ours against its baseline, measured in the same run):
#
#   bench/run.sh            the full run (under 15 minutes: idle alone takes 10)
#   bench/run.sh --quick    smaller counts and 30 s of idle scaled to 10 minutes (under 2)
#
# Builds the win64 preset, makes a Wine prefix of its own (.work/bench-prefix), installs the
# agent there as the service QFUpdate, runs the benchmarks, and stops the prefix's wineserver.
# The machine it ran on is printed first, for bench/README.md.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
cd "$QFU_ROOT"

quick=0
[ "${1:-}" = "--quick" ] && quick=1
if [ $quick = 1 ]; then
  pipe_messages=480 keys=10000 starts=1 queued=10000 messages=10000 mebibytes=64 runs=1 idle=30
else
  pipe_messages=2000 keys=10000 starts=3 queued=10000 messages=100000 mebibytes=256 runs=3 idle=600
fi

qfu_build win64 >/dev/null
qfu_wine_prefix "$QFU_ROOT/.work/bench-prefix"
trap qfu_wine_stop EXIT
bin="$QFU_ROOT/build/win64/bin"

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(wine --version)," \
     "load average $(cut -d' ' -f1-3 /proc/loadavg)"
started=$SECONDS
wine "$bin/qfupdate.exe" install </dev/null >/dev/null
wine "$bin/service_bench.exe" startup $keys $starts </dev/null
wine "$bin/service_bench.exe" memory $queued $messages </dev/null
# `net start` reports success even when the start fails: the benchmark waits for the info
# pipe itself and says when it never came.
wine net start QFUpdate </dev/null >/dev/null 2>&1
wine "$bin/pipe_roundtrip.exe" $pipe_messages </dev/null
wine net stop QFUpdate </dev/null >/dev/null 2>&1 || true
# The idle measure and the download benchmark run at once: the download does not touch the
# service, and the idle figure is the service's own processor time, which another process's
# work does not add to.
wine "$bin/service_bench.exe" idle $idle 600 </dev/null >"$QFU_ROOT/.work/bench-idle.txt" 2>&1 &
idle_job=$!
wine "$bin/download_bench.exe" $mebibytes $runs </dev/null
wait $idle_job
cat "$QFU_ROOT/.work/bench-idle.txt"
echo "all benchmarks took $((SECONDS - started)) s; load average now $(cut -d' ' -f1-3 /proc/loadavg)"
