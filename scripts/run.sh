#!/usr/bin/env bash
# Sets up a Debian 12 machine, builds the agent, and shows its main job in a Wine prefix inside
# the checkout (.work/run-prefix): the service QFUpdate takes an update request from qfupdatectl,
# downloads a signed package from a local server, asks the user through qfupdate-ui (which
# answers Yes), verifies and installs it, and reports every step on the status pipe.
#
#   scripts/run.sh [--keep]
#
# Without --keep everything it started is stopped at the end; with --keep the service and the
# UI process stay up and the script prints how to talk to them.
set -euo pipefail
. "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$QFU_ROOT"

keep=false
case "${1:-}" in
  --keep) keep=true ;;
  "") ;;
  *) echo "usage: $0 [--keep]" >&2; exit 2 ;;
esac

qfu_install_packages
qfu_build win64

work="$QFU_ROOT/.work/run"
rm -rf "$work"
mkdir -p "$work/served"
bin="$QFU_ROOT/build/win64/bin"
# The request pipe serves only programs signed by the product's publisher, and the agent takes
# answers only from a UI process signed by it: the build signs copies of qfupdatectl and
# qfupdate-ui with a throwaway test certificate (build/win64/test-certificates, bin/signed).
ctl="$bin/signed/qfupdatectl.exe"
started=$(date +%s)

echo "== a Wine prefix with the agent as the service QFUpdate"
qfu_wine_prefix "$QFU_ROOT/.work/run-prefix"
# The VPN client's API library is not part of the agent: the stand-in answers from
# HKLM\SOFTWARE\QFUpdateStandIn\ClientApi (ConnectionState 3 = connected).
cp "$bin/qfclapi64.dll" "$WINEPREFIX/drive_c/windows/system32/"
wine reg add 'HKLM\SOFTWARE\QFUpdateStandIn\ClientApi' /v ConnectionState /t REG_DWORD /d 3 /f </dev/null >/dev/null
wine "$bin/qfupdate.exe" install </dev/null
wine net start QFUpdate </dev/null >/dev/null 2>&1 || true
wine sc query QFUpdate </dev/null | grep STATE

echo
echo "== a package signed by a throwaway publisher certificate, served on this machine"
bash tests/support/make_test_certificates.sh "$work/certificates" >/dev/null 2>&1
(cd scripts/demo && wixl -o "$work/demo-unsigned.msi" demo_package.wxs)
bash tests/support/sign_test_file.sh "$work/certificates" publisher "$work/demo-unsigned.msi" "$work/served/demo.msi"
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server --bind 127.0.0.1 --directory "$work/served" "$port" </dev/null >/dev/null 2>&1 &
server_pid=$!
url="http://127.0.0.1:$port/demo.msi"
echo "$url ($(stat -c %s "$work/served/demo.msi") bytes, $(osslsigncode verify -in "$work/served/demo.msi" 2>/dev/null |
  sed -n 's/^[[:space:]]*Subject: //p' | head -n 1))"

# The user's side: qfupdate-ui serves the UI pipe and answers every prompt with Yes, logging
# what it was asked; qfupdatectl watch serves the status pipe and prints each change.
wine "$bin/signed/qfupdate-ui.exe" --answer yes --log "$(winepath -w "$work/prompts.log")" </dev/null \
  >"$work/ui.out" 2>&1 &
ui_pid=$!
wine "$ctl" watch --timeout 300 </dev/null >"$work/watch.out" 2>&1 &
watch_pid=$!

cleanup() {
  kill "$server_pid" "$watch_pid" 2>/dev/null || true
  if ! $keep; then
    kill "$ui_pid" 2>/dev/null || true
    wine net stop QFUpdate </dev/null >/dev/null 2>&1 || true
    qfu_wine_stop
  fi
}
trap cleanup EXIT
for _ in $(seq 1 100); do
  grep -q "serving" "$work/ui.out" 2>/dev/null && grep -q "listening on" "$work/watch.out" 2>/dev/null && break
  sleep 0.1
done

echo
echo "== qfupdatectl submit Demo"
wine "$ctl" submit Demo --display-name "Demo Software" --version 1.0.0.0 --url "$url" --deadline 1440 </dev/null

echo
echo "== the status pipe, as qfupdatectl watch prints it (the agent pauses 10 s before a download)"
shown=0
status=""
for _ in $(seq 1 120); do
  lines=$(grep -c " Demo " "$work/watch.out" 2>/dev/null || true)
  if [ "${lines:-0}" -gt "$shown" ]; then
    grep " Demo " "$work/watch.out" | tail -n +"$((shown + 1))" | sed 's/^/  /'
    shown=$lines
  fi
  status=$(wine "$ctl" --info query Demo </dev/null 2>/dev/null | sed -n 's/^status: *//p' || true)
  case "$status" in
    "Completed (1)" | *0x8*) [ "$status" = "DownloadRetry (0x80000004)" ] || break ;;
  esac
  sleep 1
done
sleep 1
grep " Demo " "$work/watch.out" | tail -n +"$((shown + 1))" | sed 's/^/  /' || true

echo
echo "== qfupdatectl --info query Demo"
wine "$ctl" --info query Demo </dev/null || true

echo
echo "== what the user was asked (qfupdate-ui --log)"
sed 's/^/  /' "$work/prompts.log" 2>/dev/null || echo "  (nothing)"

echo
echo "== the installed package in the prefix"
find "$WINEPREFIX/drive_c/Program Files/QFUpdate Demo" -type f -exec sh -c 'echo "  $1: $(cat "$1")"' _ {} \; \
  2>/dev/null || echo "  (not installed)"
echo
echo "Finished in $(($(date +%s) - started)) s after the build."

if $keep; then
  cat <<TXT

QFUpdate keeps running in the Wine prefix $WINEPREFIX, with qfupdate-ui answering Yes.
Use it from this shell with:
  export WINEPREFIX=$WINEPREFIX WINEDEBUG=-all
  wine $ctl --info list
  wine $ctl watch            (prints every status change; Ctrl+C ends it)
  wine $ctl submit NAME --url URL [--display-name TEXT] [--deadline MINUTES]
  wine $ctl cancel NAME
  wine sc query QFUpdate
Stop it with:
  wine net stop QFUpdate     (the service)
  wineserver -k              (Wine itself, with qfupdate-ui)
TXT
fi
[ "$status" = "Completed (1)" ]
