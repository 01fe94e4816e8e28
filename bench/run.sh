#!/usr/bin/env bash
# Builds the win64 preset, installs and starts the agent as the service QFUpdate in a Wine
# prefix of its own (.work/bench-prefix), runs the pipe round-trip benchmark against it,
# then stops the service and the prefix's wineserver. Arguments go to pipe_roundtrip.exe:
# round trips per server, request name.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"
cd "$QFU_ROOT"

qfu_build win64 >/dev/null
qfu_wine_prefix "$QFU_ROOT/.work/bench-prefix"
trap qfu_wine_stop EXIT
bin="$QFU_ROOT/build/win64/bin"

wine "$bin/qfupdate.exe" install </dev/null
# `net start` reports success even when the start fails: the benchmark itself waits for the
# info pipe and says when it never came.
wine net start QFUpdate </dev/null >/dev/null 2>&1
wine "$bin/pipe_roundtrip.exe" "$@" </dev/null
wine net stop QFUpdate </dev/null >/dev/null 2>&1 || true
