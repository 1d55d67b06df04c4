#include "power.h"

#include "ce.h"
#include "holders.h"

namespace {

typedef void (*SensorProc)();
typedef void (*BrightnessProc)(int level);

// The binding, written only by LoadSharpLib.
HMODULE g_sharpLib;
SensorProc g_mrSensorEnable;
SensorProc g_mrSensorDisable;
BrightnessProc g_setBacklightBright;

const WCHAR TIMEOUTS_KEY[] = L"System\\CurrentControlSet\\Control\\Power\\Timeouts";

// The six values in the order they are written; true marks the two that
// take the system idle time, the others get 1 second.
const struct {
  LPCWSTR name;
  bool systemIdle;
} TIMEOUT_VALUES[] = {
    {L"ACSuspend", false},   {L"ACSystemIdle", true},   {L"ACUserIdle", false},
    {L"BattSuspend", false}, {L"BattSystemIdle", true}, {L"BattUserIdle", false},
};

// An export as the procedure type it has.
template <typename Proc>
Proc AsProc(FARPROC address) {
  return reinterpret_cast<Proc>(reinterpret_cast<void*>(address));
}

void CallSensor(void* proc) { reinterpret_cast<SensorProc>(proc)(); }

struct BrightnessCall {
  BrightnessProc proc;
  int level;
};

void CallBrightness(void* context) {
  const BrightnessCall* call = static_cast<BrightnessCall*>(context);
  call->proc(call->level);
}

}  // namespace

BOOL LoadSharpLib() {
  g_sharpLib = LoadLibraryW(L"SharpLib.dll");
  if (g_sharpLib == NULL) return FALSE;
  // Each stored as found: a missing export stays null.
  g_mrSensorEnable = AsProc<SensorProc>(
      DeviceGetProcAddress(g_sharpLib, DEVICE_PROC_NAME("EdMrSensorEnable")));
  g_mrSensorDisable = AsProc<SensorProc>(
      DeviceGetProcAddress(g_sharpLib, DEVICE_PROC_NAME("EdMrSensorDisable")));
  g_setBacklightBright = AsProc<BrightnessProc>(
      DeviceGetProcAddress(g_sharpLib, DEVICE_PROC_NAME("EdSetBacklightBright")));
  return TRUE;
}

void FreeSharpLib() {
  if (g_sharpLib != NULL) FreeLibrary(g_sharpLib);
}

BOOL SetMrSensor(int state) {
  SensorProc proc = state != 0 ? g_mrSensorEnable : g_mrSensorDisable;
  if (proc == NULL) return FALSE;
  return DeviceGuardedCall(CallSensor, reinterpret_cast<void*>(proc));
}

BOOL SetBacklightLevel(int level) {
  if (g_setBacklightBright == NULL) return FALSE;
  BrightnessCall call = {g_setBacklightBright, level};
  return DeviceGuardedCall(CallBrightness, &call);
}

BOOL WriteActivityTimeouts(int systemIdleSeconds) {
  KeyHolder key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, TIMEOUTS_KEY, 0, DEVICE_KEY_WRITE, key.Receive()) !=
      ERROR_SUCCESS) {
    return FALSE;
  }
  for (const auto& value : TIMEOUT_VALUES) {
    const DWORD data = value.systemIdle ? (DWORD)systemIdleSeconds : 1;
    if (RegSetValueExW(key.Get(), value.name, 0, REG_DWORD, (const BYTE*)&data, sizeof data) !=
        ERROR_SUCCESS) {
      return FALSE;
    }
  }
  key.Close();

  HANDLE reload = CreateEventW(NULL, FALSE, FALSE, L"PowerManager/ReloadActivityTimeouts");
  if (reload == NULL) return FALSE;
  const BOOL set = DeviceSetEvent(reload);
  CloseHandle(reload);
  return set;
}
