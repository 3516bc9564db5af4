#!/bin/bash
# End-to-end test of the updater under Wine on a virtual X display.
#
#   scripts/updater-e2e.sh STAGE_DIR WORK_DIR
#
# STAGE_DIR is the e2e-stage folder of the Windows build (TrevikUpd.exe, the stand-in installer,
# the shipped driver, driver files with other versions, the test driver updater_e2e.exe).
# WORK_DIR is made anew: it holds the Wine prefix (one per run, shared by all cases), the logs and
# the screenshots (WORK_DIR/screenshots/*.png). The cases run in English, then under the Japanese
# system locale (1041). Needs what scripts/install-updater-deps.sh installs. (The driver image
# itself is loaded under Wine by the Windows build's own check, windows.driver_loads_under_wine.)
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
