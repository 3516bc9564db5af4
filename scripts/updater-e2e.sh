#!/bin/bash
# End-to-end test of the updater under Wine on a virtual X display.
#
#   scripts/updater-e2e.sh STAGE_DIR WORK_DIR
#
# STAGE_DIR is the e2e-stage folder of the Windows build (TrevikUpd.exe, the stand-in installer,
# the shipped driver, driver files with other versions, the test driver updater_e2e.exe).
# WORK_DIR is made anew: it holds the Wine prefix (one per run, shared by all cases), the logs and
# the screenshots (WORK_DIR/screenshots/*.png). The cases run in English, then under the Japanese
# system locale (1041). When the stage holds the real driver image, a smoke test loads it as a
# kernel service in the same prefix. Needs what scripts/install-updater-deps.sh installs.
set -euo pipefail

stage=$(realpath "$1")
work=$(realpath -m "$2")

for tool in wine wineserver wineboot Xvfb; do
  if ! command -v "$tool" >/dev/null; then
    echo "updater-e2e: $tool is missing; run scripts/install-updater-deps.sh as root" >&2
    exit 1
  fi
done
if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.utf-\?8$'; then
  echo "updater-e2e: the ja_JP.UTF-8 locale is missing; run scripts/install-updater-deps.sh" >&2
  exit 1
fi
convert=/usr/bin/convert  # ImageMagick, for PNG screenshots (optional)

rm -rf "$work"
mkdir -p "$work"
start=$(date +%s)

# A private X server; it picks a free display and says which.
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb_pid=$!
export WINEPREFIX="$work/prefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

cleanup() {
  wineserver -k 2>/dev/null || true
  kill "$xvfb_pid" 2>/dev/null || true
  wait "$xvfb_pid" 2>/dev/null || true
}
trap cleanup EXIT

for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.1
done
[ -s "$work/display" ] || { echo "updater-e2e: Xvfb did not start" >&2; cat "$work/xvfb.log" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"

# The prefix: created once for this run.
LC_ALL=C.UTF-8 timeout 300 wineboot -i >"$work/wineboot.log" 2>&1
timeout 120 wineserver -w
# Wine's own fonts, where the prefix lacks them.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp -n /usr/share/wine/fonts/* "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
# Without a window manager Wine waits on every window change unless it draws its own desktop.
# The dialog fonts of Windows are not here: map them to what is installed.
cat >"$work/prefix.reg" <<'REG'
REGEDIT4

[HKEY_CURRENT_USER\Software\Wine\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\Software\Wine\Explorer\Desktops]
"Default"="1024x768"

[HKEY_LOCAL_MACHINE\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes]
"MS UI Gothic"="IPAPGothic"
"ＭＳ Ｐゴシック"="IPAPGothic"
"MS PGothic"="IPAPGothic"
REG
LC_ALL=C.UTF-8 timeout 120 wine regedit /S "$(winepath -w "$work/prefix.reg" 2>/dev/null)" >/dev/null 2>&1
timeout 120 wineserver -w

win_root="$WINEPREFIX/drive_c/e2e"
mkdir -p "$win_root/stage" "$win_root/shots"
cp "$stage"/* "$win_root/stage/"
echo "updater-e2e: prefix ready in $(( $(date +%s) - start )) s; shipped driver: $(cat "$stage/shipped-kind.txt" 2>/dev/null || echo unknown)"

status=0
for lang in en ja; do
  if [ "$lang" = ja ]; then loc=ja_JP.UTF-8; else loc=C.UTF-8; fi
  LANG=$loc LC_ALL=$loc timeout 300 wine 'C:\e2e\stage\updater_e2e.exe' 'C:\e2e\stage' 'C:\e2e\shots' "$lang" \
    2>"$work/wine-$lang.log" | tr -d '\r' | tee "$work/result-$lang.txt" || status=1
  # Each locale gets fresh Wine processes.
  wineserver -k 2>/dev/null || true
  timeout 60 wineserver -w || true
done

# Smoke test of the real driver image on Wine's PE loader: load it as a kernel service in Wine's
# device host and check that its entry point wrote the parameter defaults into the service key
# (fresh key), and corrected the out-of-range values of a second, pre-filled key.
smoke_line() { echo "$1 driver_smoke: $2" | tee -a "$work/result-smoke.txt"; }
reg_values() {  # NAME=VALUE lines of a key, sorted, values in decimal
  LC_ALL=C.UTF-8 timeout 60 wine reg query "$1" 2>/dev/null | tr -d '\r' |
    awk '$2 == "REG_DWORD" { print $1 "=" $3 }' |
    while IFS== read -r name value; do echo "$name=$((value))"; done | sort
}
services='HKLM\System\CurrentControlSet\Services'
: >"$work/result-smoke.txt"
if grep -q "real driver image" "$stage/shipped-kind.txt" 2>/dev/null; then
  drivers="$WINEPREFIX/drive_c/windows/system32/drivers"
  cp "$stage/KX1394DRV64.sys" "$drivers/KX1394DRV64.sys"
  cp "$stage/KX1394DRV64.sys" "$drivers/KX1394SMK.sys"
  export LC_ALL=C.UTF-8
  for v in SPLIT_TIMEOUT:50 IsoRxNumOfBuf:32 IsoTxNumOfBuf:31 IsoDirectDMA:2 aPhyEnhanceEnable:7 AsyncWait:5000; do
    timeout 60 wine reg add "$services\\KX1394SMK\\Parameters" /v "${v%%:*}" /t REG_DWORD /d "${v#*:}" /f >/dev/null 2>&1
  done
  for svc in KX1394DRV64 KX1394SMK; do
    timeout 60 wine sc create "$svc" type= kernel start= demand \
      binPath= "C:\\windows\\system32\\drivers\\$svc.sys" >"$work/sc-$svc.log" 2>&1 || true
    timeout 60 wine sc start "$svc" >>"$work/sc-$svc.log" 2>&1 || true
  done
  unset LC_ALL
  expect_fresh=$(printf '%s\n' AsyncWait=0 BandwidthForDriver=0 DesktopCameraEnable=1 IsoDirectDMA=1 \
    IsoRxNumOfBuf=3 IsoRxStreamBase=0 IsoTxNumOfBuf=3 SPLIT_TIMEOUT=0 aPhyEnhanceEnable=0 | sort)
  expect_fixed=$(printf '%s\n' AsyncWait=5000 BandwidthForDriver=0 DesktopCameraEnable=1 IsoDirectDMA=1 \
    IsoRxNumOfBuf=3 IsoRxStreamBase=0 IsoTxNumOfBuf=31 SPLIT_TIMEOUT=100 aPhyEnhanceEnable=0 | sort)
  for pair in "KX1394DRV64:fresh" "KX1394SMK:fixed"; do
    svc=${pair%%:*}
    if [ "${pair#*:}" = fresh ]; then want=$expect_fresh; what="nine defaults written into a fresh Parameters key"
    else want=$expect_fixed; what="out-of-range values written back, in-range ones kept"; fi
    got=""
    for _ in $(seq 20); do  # bounded: the entry point has run once the service reports running
      got=$(reg_values "$services\\$svc\\Parameters")
      [ "$got" = "$want" ] && break
      sleep 0.5
    done
    if [ "$got" = "$want" ]; then smoke_line PASS "$what"; else
      smoke_line FAIL "$what: got [$(echo $got)], want [$(echo $want)]"
      sed 's/^/  /' "$work/sc-$svc.log"
      status=1
    fi
  done
  wineserver -k 2>/dev/null || true
else
  echo "SKIP driver_smoke: this build has no KX1394DRV64 image"
fi

mkdir -p "$work/screenshots"
for bmp in "$win_root"/shots/*.bmp; do
  [ -e "$bmp" ] || continue
  name=$(basename "$bmp" .bmp)
  if [ -x "$convert" ] && "$convert" "$bmp" "$work/screenshots/$name.png" 2>/dev/null; then :; else
    cp "$bmp" "$work/screenshots/"
  fi
done
echo "updater-e2e: screenshots in $work/screenshots"

passed=$(cat "$work"/result-*.txt | grep -c '^PASS ' || true)
failed=$(cat "$work"/result-*.txt | grep -c '^FAIL ' || true)
for lang in en ja; do
  grep -q "^$lang: .* passed, .* failed" "$work/result-$lang.txt" || { echo "updater-e2e: the $lang run did not finish"; status=1; }
done
echo "updater-e2e: run time $(( $(date +%s) - start )) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] || status=1
exit $status
