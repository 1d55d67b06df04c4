#!/usr/bin/env bash
# A save that runs out of room in the middle of the HKLM dump, for real: the
# data folder is a small tmpfs that holds a previous save and has room for a
# new cr.dat and cu.dat but not for a new lm.dat. The program test's case
# KeepsakeSmallDataFolder then answers the question with Yes and checks the
# boxes and the files.
#   small_folder_test.sh PROGRAM_TEST_EXE WINEPREFIX
# Mounting needs root; without it the test reports itself skipped (77).
set -euo pipefail

test_exe=$1
export WINEPREFIX=$2
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
wine_run=$root/tools/wine-run
bin=$(dirname "$test_exe")

if [ "$(id -u)" -ne 0 ]; then
  echo "small_folder_test: mounting a tmpfs needs root; skipped"
  exit 77
fi

folder=$WINEPREFIX/drive_c/kssmall
data=$folder/Keepsake

unmount() {
  mountpoint -q "$data" 2>/dev/null || return 0
  # A server that ends late may still hold a file for a moment.
  for _ in $(seq 50); do
    umount "$data" 2>/dev/null && return 0
    sleep 0.1
  done
  umount "$data"
}
trap unmount EXIT

unmount
rm -rf "$folder"
mkdir -p "$data"
cp "$bin/keepsake.exe" "$bin/coredll.dll" "$folder/"

# The previous save, made in a folder with room enough: the cp.dat step
# needs the keyboard values.
for value in DispDly InitialDelay RepeatRate; do
  "$wine_run" reg add 'HKCU\ControlPanel\Keybd' /v "$value" /t REG_DWORD /d 7 /f >/dev/null
done
"$wine_run" 'C:\kssmall\keepsake.exe' /s
for name in cr cu lm cp; do
  [ -s "$data/$name.dat" ] || { echo "small_folder_test: the first save wrote no $name.dat"; exit 1; }
done

# tmpfs counts whole pages. The size: the previous save, plus half-way
# between a new cr.dat and a new lm.dat, so the first fits beside its old
# file and the second does not.
pages() { echo $((($(stat -c %s "$1") + 4095) / 4096)); }
total=0
for name in cr cu lm cp; do total=$((total + $(pages "$data/$name.dat"))); done
cr=$(pages "$data/cr.dat")
lm=$(pages "$data/lm.dat")
if [ $((lm - cr)) -lt 64 ]; then
  echo "small_folder_test: lm.dat ($lm pages) is not clearly larger than cr.dat ($cr pages)"
  exit 1
fi
size=$((total + (cr + lm) / 2))
echo "tmpfs of $((size * 4)) KiB: the previous save takes $((total * 4)) KiB," \
  "a new cr.dat $((cr * 4)) KiB, a new lm.dat about $((lm * 4)) KiB"

mkdir "$folder/previous"
mv "$data"/*.dat "$folder/previous/"
mount -t tmpfs -o size=$((size * 4096)),mode=0755 keepsake-small "$data"
cp "$folder/previous/"*.dat "$data/"

status=0
KEEPSAKE_SMALL_FOLDER='C:\kssmall' "$wine_run" "$test_exe" --gtest_also_run_disabled_tests \
  --gtest_filter='KeepsakeSmallDataFolder.*' || status=$?
df -k "$data" | tail -n 1
exit $status
