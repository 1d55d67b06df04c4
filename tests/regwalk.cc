// regwalk: a registry root as a canonical listing, or a bare walk of it.
//
//   regwalk list ROOT FILE   writes one line per key and per value to FILE
//   regwalk walk ROOT        opens, queries and enumerates every key and
//                            value the way a dump does, and writes nothing
//
// ROOT is HKCR, HKCU or HKLM. Both print "keys K values V bytes B" at the
// end (B: value data bytes). Listing lines, fields separated by tabs:
//
//   K <path> <class>                    a key
//   V <path> <name> <type> <data>       a value; type 8 hex digits, data hex
//   X <path> <call> <error>             a call that failed for this key
//
// Paths are relative to the root, components joined by '\'. In paths,
// classes and names every code unit outside '!'..'~' and every '%' is
// written as %XXXX (hexadecimal), so a line is plain ASCII and says exactly
// which code units the registry holds.
//
// The listing finds the entries independently of a key's reported counts
// and maxima: it enumerates until the registry reports no more items and
// grows its buffers whenever they are too small.
#include <windows.h>

#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include <string>
#include <vector>

namespace {

// Deeper than any registry of Wine; a loop of links would stop here.
const int MAX_DEPTH = 512;

const struct {
  const wchar_t* name;
  HKEY root;
} ROOTS[] = {
    {L"HKCR", HKEY_CLASSES_ROOT},
    {L"HKCU", HKEY_CURRENT_USER},
    {L"HKLM", HKEY_LOCAL_MACHINE},
};

struct Counts {
  unsigned long long keys = 0, values = 0, bytes = 0;
};

// Buffered output; every write and the final close are checked.
struct Output {
  FILE* file = NULL;
  bool failed = false;

  void Put(const std::string& text) {
    if (file != NULL && !failed && fwrite(text.data(), 1, text.size(), file) != text.size()) {
      failed = true;
    }
  }
};

void Escape(const wchar_t* text, size_t length, std::string* out) {
  for (size_t i = 0; i < length; ++i) {
    const unsigned c = static_cast<unsigned>(text[i]) & 0xFFFF;
    if (c > 0x20 && c < 0x7F && c != '%') {
      *out += static_cast<char>(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "%%%04X", c);
      *out += escaped;
    }
  }
}

void AppendHex(const BYTE* bytes, size_t size, std::string* out) {
  static const char DIGITS[] = "0123456789abcdef";
  for (size_t i = 0; i < size; ++i) {
    *out += DIGITS[bytes[i] >> 4];
    *out += DIGITS[bytes[i] & 15];
  }
}

std::string Failure(const std::string& path, const char* call, LONG error) {
  char text[64];
  snprintf(text, sizeof text, "\t%s\t%ld\n", call, static_cast<long>(error));
  return "X\t" + path + text;
}

// ---------------------------------------------------------------------------
// The listing

void ListKey(HKEY key, const std::string& path, int depth, Output* out, Counts* counts) {
  if (depth > MAX_DEPTH) {
    out->Put(Failure(path, "depth", 0));
    return;
  }
  std::vector<wchar_t> name(256);
  std::vector<BYTE> data(4096);
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD size = static_cast<DWORD>(data.size());
    DWORD type = 0;
    const LONG status =
        RegEnumValueW(key, i, name.data(), &nameLength, NULL, &type, data.data(), &size);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) {
      // The data size is reported; a name that did not fit is not.
      if (size > data.size()) data.resize(size);
      if (nameLength >= name.size() - 1) name.resize(name.size() * 2);
      --i;
      continue;
    }
    if (status != ERROR_SUCCESS) {
      out->Put(Failure(path, "RegEnumValueW", status));
      break;
    }
    std::string line = "V\t" + path + "\t";
    Escape(name.data(), nameLength, &line);
    char typeText[16];
    snprintf(typeText, sizeof typeText, "\t%08lx\t", static_cast<unsigned long>(type));
    line += typeText;
    AppendHex(data.data(), size, &line);
    line += '\n';
    out->Put(line);
    ++counts->values;
    counts->bytes += size;
  }

  std::vector<wchar_t> keyClass(256);
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = static_cast<DWORD>(name.size());
    DWORD classLength = static_cast<DWORD>(keyClass.size());
    const LONG status = RegEnumKeyExW(key, i, name.data(), &nameLength, NULL, keyClass.data(),
                                      &classLength, NULL);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_MORE_DATA) {
      name.resize(name.size() * 2);
      keyClass.resize(keyClass.size() * 2);
      --i;
      continue;
    }
    if (status != ERROR_SUCCESS) {
      out->Put(Failure(path, "RegEnumKeyExW", status));
      break;
    }
    std::string childPath = path;
    if (!childPath.empty()) childPath += '\\';
    Escape(name.data(), nameLength, &childPath);
    std::string line = "K\t" + childPath + "\t";
    Escape(keyClass.data(), classLength, &line);
    line += '\n';
    out->Put(line);
    ++counts->keys;

    HKEY child;
    const LONG opened = RegOpenKeyExW(key, name.data(), 0, KEY_READ, &child);
    if (opened != ERROR_SUCCESS) {
      out->Put(Failure(childPath, "RegOpenKeyExW", opened));
      continue;
    }
    ListKey(child, childPath, depth + 1, out, counts);
    RegCloseKey(child);
  }
}

// ---------------------------------------------------------------------------
// The bare walk: the registry calls of a dump, in its order, with buffers
// sized from each key's maxima, and nothing written.

void WalkKey(HKEY key, Counts* counts) {
  DWORD subkeys = 0, maxSubkey = 0, maxClass = 0, values = 0, maxName = 0, maxData = 0;
  if (RegQueryInfoKeyW(key, NULL, NULL, NULL, &subkeys, &maxSubkey, &maxClass, &values, &maxName,
                       &maxData, NULL, NULL) != ERROR_SUCCESS) {
    return;
  }
  std::vector<wchar_t> name(maxName + 1);
  std::vector<BYTE> data(maxData > 0 ? maxData : 1);
  for (DWORD i = 0; i < values; ++i) {
    DWORD nameLength = maxName + 1, size = maxData, type = 0;
    if (RegEnumValueW(key, i, name.data(), &nameLength, NULL, &type, data.data(), &size) ==
        ERROR_SUCCESS) {
      ++counts->values;
      counts->bytes += size;
    }
  }
  std::vector<wchar_t> subkeyName(maxSubkey + 1), keyClass(maxClass + 1);
  for (DWORD i = 0; i < subkeys; ++i) {
    DWORD nameLength = maxSubkey + 1, classLength = maxClass + 1;
    if (RegEnumKeyExW(key, i, subkeyName.data(), &nameLength, NULL, keyClass.data(), &classLength,
                      NULL) != ERROR_SUCCESS) {
      continue;
    }
    HKEY child;
    if (RegOpenKeyExW(key, subkeyName.data(), 0, KEY_READ, &child) != ERROR_SUCCESS) continue;
    ++counts->keys;
    WalkKey(child, counts);
    RegCloseKey(child);
  }
}

int Usage() {
  fprintf(stderr, "usage: regwalk list HKCR|HKCU|HKLM FILE\n       regwalk walk HKCR|HKCU|HKLM\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  HKEY root = NULL;
  for (const auto& r : ROOTS) {
    if (_wcsicmp(argv[2], r.name) == 0) root = r.root;
  }
  if (root == NULL) return Usage();

  Counts counts;
  if (wcscmp(argv[1], L"walk") == 0 && argc == 3) {
    WalkKey(root, &counts);
  } else if (wcscmp(argv[1], L"list") == 0 && argc == 4) {
    Output out;
    out.file = _wfopen(argv[3], L"wb");
    if (out.file == NULL) {
      fprintf(stderr, "regwalk: cannot create the listing\n");
      return 1;
    }
    static char buffer[1 << 16];
    setvbuf(out.file, buffer, _IOFBF, sizeof buffer);
    ListKey(root, "", 0, &out, &counts);
    const bool closed = fclose(out.file) == 0;
    if (out.failed || !closed) {
      fprintf(stderr, "regwalk: the listing could not be written\n");
      return 1;
    }
  } else {
    return Usage();
  }
  printf("keys %llu values %llu bytes %llu\n", counts.keys, counts.values, counts.bytes);
  return 0;
}
