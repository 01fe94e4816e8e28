#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the agent, and runs it as the service QFUpdate in a
# Wine prefix inside the checkout (.work/run-prefix); then talks to it with qfupdatectl.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QFU_ROOT"

qfu_install_packages
qfu_build win64

qfu_wine_prefix "$QFU_ROOT/.work/run-prefix"
bin="$QFU_ROOT/build/win64/bin"
# The VPN client's API library is not part of the agent: the stand-in answers from
# HKLM\SOFTWARE\QFUpdateStandIn\ClientApi (ConnectionState 3 = connected).
cp "$bin/qfclapi64.dll" "$WINEPREFIX/drive_c/windows/system32/"
wine reg add 'HKLM\SOFTWARE\QFUpdateStandIn\ClientApi' /v ConnectionState /t REG_DWORD /d 3 /f </dev/null >/dev/null

wine "$bin/qfupdate.exe" install </dev/null
wine net start QFUpdate </dev/null
wine sc query QFUpdate </dev/null

# The request pipe serves only programs signed by the product's publisher: the build signs a
# copy of qfupdatectl with a throwaway test certificate (build/win64/test-certificates).
ctl="$bin/signed/qfupdatectl.exe"

# A package server on this machine for the demonstration: a folder served over HTTP while the
# request is downloaded, stopped again before the script ends.
served="$QFU_ROOT/.work/run-served"
mkdir -p "$served"
head -c 65536 /dev/urandom > "$served/demo.msi"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$served" "$port" </dev/null >/dev/null 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT

echo
echo "== qfupdatectl submit Demo"
wine "$ctl" submit Demo --display-name "Demo Software" \
  --url "http://127.0.0.1:$port/demo.msi" --deadline 1440 </dev/null || true
echo
echo "== waiting for the download (the agent pauses 10 s before each download)"
for _ in $(seq 1 60); do
  if wine "$ctl" --info query Demo </dev/null 2>/dev/null | grep -Eq 'Downloaded \(17\)|Postponed \(9\)'; then break; fi
  sleep 1
done
echo
echo "== qfupdatectl --info query Demo"
wine "$ctl" --info query Demo </dev/null || true
echo
echo "The package landed in $WINEPREFIX/drive_c/ProgramData/Quillfern/Demo:"
ls -l "$WINEPREFIX/drive_c/ProgramData/Quillfern/Demo" || true

cat <<TXT

QFUpdate runs in the Wine prefix $WINEPREFIX.
Use it from this shell with:
  export WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
  wine $ctl list
  wine $ctl watch            (prints every status change; Ctrl+C ends it)
  wine $ctl cancel Demo
  wine sc query QFUpdate
Stop it with:
  wine net stop QFUpdate     (the service)
  wineserver -k              (Wine itself)
TXT
