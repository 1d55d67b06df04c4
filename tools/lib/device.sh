# The simulated device: a Wine prefix of its own (build/device unless
# DEVICE_PREFIX says otherwise) with the device programs and their
# stand-ins in C:\brain, a memory card at C:\Storage Card and internal
# memory at C:\NAND3. Needs the windows lane built.

DEVICE_PREFIX=${DEVICE_PREFIX:-$root/build/device}
DEVICE_BIN=$DEVICE_PREFIX/drive_c/brain
DEVICE_PROGRAMS=(keepsake.exe dimmerly.exe flipdeck-setup.exe keyloom.dll keyloom_host.exe
                 coredll.dll SharpLib.dll drive.exe)

# Builds the device programs and lays out the device.
prepare_device() {
  cmake --preset windows >"$root/build/device-configure.log" ||
    { cat "$root/build/device-configure.log"; return 1; }
  cmake --build --preset windows --target keepsake dimmerly flipdeck-setup keyloom \
    keyloom_host drive >"$root/build/device-build.log" ||
    { tail -n 40 "$root/build/device-build.log"; return 1; }
  export WINEPREFIX=$DEVICE_PREFIX
  # Boots the prefix on first use.
  "$root/tools/wine-run" cmd /c exit </dev/null >/dev/null 2>&1 || true
  mkdir -p "$DEVICE_BIN"
  local p
  for p in "${DEVICE_PROGRAMS[@]}"; do cp "$root/build/windows/bin/$p" "$DEVICE_BIN/"; done
  # The settings the device has and the desktop lacks: the keyboard values
  # of the control panel and the power manager's time-outs.
  device_reg add 'HKCU\ControlPanel\Keybd' /v DispDly /t REG_DWORD /d 1 /f
  device_reg add 'HKCU\ControlPanel\Keybd' /v InitialDelay /t REG_DWORD /d 500 /f
  device_reg add 'HKCU\ControlPanel\Keybd' /v RepeatRate /t REG_DWORD /d 20 /f
  device_reg add 'HKLM\System\CurrentControlSet\Control\Power\Timeouts' /f
  # Japanese text in the dialogs: the device's UI fonts stand in as the
  # proportional IPA P Gothic. Wine's own Marlett draws the caption buttons;
  # Debian's Wine finds it only in the prefix's font folder.
  local fonts='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontSubstitutes' face
  for face in "MS UI Gothic" "MS Shell Dlg" "Tahoma"; do
    device_reg add "$fonts" /v "$face" /d IPAPGothic /f
  done
  cp /usr/share/wine/fonts/marlett.ttf "$DEVICE_PREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
}

# Wine's reg.exe in the device prefix, quietly.
device_reg() { "$root/tools/wine-run" reg "$@" </dev/null >/dev/null 2>&1; }

# Runs a device program from C:\ (so device paths resolve on drive C:).
device_run() { (cd "$DEVICE_PREFIX/drive_c" && "$root/tools/wine-run" "$@"); }
