#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the agent, and runs it as the service QFUpdate in a
# Wine prefix inside the checkout (.work/run-prefix).
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QFU_ROOT"

qfu_install_packages
qfu_build win64

qfu_wine_prefix "$QFU_ROOT/.work/run-prefix"
bin="$QFU_ROOT/build/win64/bin"
wine "$bin/qfupdate.exe" install </dev/null
wine net start QFUpdate </dev/null
wine sc query QFUpdate </dev/null

cat <<TXT

QFUpdate runs in the Wine prefix $WINEPREFIX.
Use it from this shell with:
  export WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
  wine sc query QFUpdate
Stop it with:
  wine net stop QFUpdate     (the service)
  wineserver -k              (Wine itself)
TXT
