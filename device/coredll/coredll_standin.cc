// Stand-in for the device-only calls of the core library, for running the
// device programs on the desktop. The simulated device state lives in the
// text file named by CORESIM_STATE (lines "name=value"); every call that
// changes something appends a line to the file named by CORESIM_LOG.
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

struct DeviceState {
  DWORD storagePages = 2048;
  DWORD ramPages = 2048;
  DWORD pageSize = 4096;
  DWORD word4 = 0;
  DWORD divisionResult = 0;  // what SetSystemMemoryDivision answers
};

// Each field of the state file, by its line name.
const struct {
  const char* name;
  DWORD DeviceState::*field;
} FIELDS[] = {
    {"storage_pages", &DeviceState::storagePages},
    {"ram_pages", &DeviceState::ramPages},
    {"page_size", &DeviceState::pageSize},
    {"word4", &DeviceState::word4},
    {"division_result", &DeviceState::divisionResult},
};

DeviceState LoadState() {
  DeviceState state;
  const char* path = getenv("CORESIM_STATE");
  FILE* f = path != NULL ? fopen(path, "r") : NULL;
  if (f == NULL) return state;
  char line[256];
  while (fgets(line, sizeof line, f) != NULL) {
    char* equals = strchr(line, '=');
    if (equals == NULL) continue;
    *equals = '\0';
    for (const auto& field : FIELDS) {
      if (strcmp(line, field.name) == 0) state.*field.field = strtoul(equals + 1, NULL, 0);
    }
  }
  fclose(f);
  return state;
}

void SaveState(const DeviceState& state) {
  const char* path = getenv("CORESIM_STATE");
  FILE* f = path != NULL ? fopen(path, "wb") : NULL;
  if (f == NULL) return;
  for (const auto& field : FIELDS) fprintf(f, "%s=%lu\n", field.name, state.*field.field);
  fclose(f);
}

void Log(const char* call, DWORD argument) {
  const char* path = getenv("CORESIM_LOG");
  FILE* f = path != NULL ? fopen(path, "ab") : NULL;
  if (f == NULL) return;
  fprintf(f, "%s %lu\n", call, argument);
  fclose(f);
}

}  // namespace

extern "C" {

__declspec(dllexport) BOOL WINAPI GetSystemMemoryDivision(LPDWORD storePages, LPDWORD ramPages,
                                                          LPDWORD pageSize) {
  const DeviceState state = LoadState();
  *storePages = state.storagePages;
  *ramPages = state.ramPages;
  *pageSize = state.pageSize;
  return TRUE;
}

__declspec(dllexport) DWORD WINAPI SetSystemMemoryDivision(DWORD storePages) {
  Log("SetSystemMemoryDivision", storePages);
  DeviceState state = LoadState();
  if (state.divisionResult == 0) {
    // The pages move between storage and programs at once.
    state.ramPages += state.storagePages;
    state.ramPages -= storePages < state.ramPages ? storePages : state.ramPages;
    state.storagePages = storePages;
    SaveState(state);
  }
  return state.divisionResult;
}

DWORD WINAPI Ordinal215() { return LoadState().word4; }

void WINAPI Ordinal716(DWORD argument) { Log("Ordinal716", argument); }

void WINAPI Ordinal1795(DWORD value) {
  Log("Ordinal1795", value);
  DeviceState state = LoadState();
  state.word4 = value;
  SaveState(state);
}

}  // extern "C"
