#include "dialog_template.h"

#include <string.h>
#include <wctype.h>

#include <map>

namespace dialog_template {

namespace {

// Reads the template's words, strings and ordinals in order.
class Reader {
 public:
  explicit Reader(const BYTE* p) : p_(p), start_(p) {}
  WORD Word() {
    WORD w;
    memcpy(&w, p_, 2);
    p_ += 2;
    return w;
  }
  DWORD Dword() {
    DWORD d;
    memcpy(&d, p_, 4);
    p_ += 4;
    return d;
  }
  // A string, or an ordinal (0xFFFF and a number) read as "#number".
  std::wstring SzOrOrdinal() {
    if (Word() == 0xFFFF) return L"#" + std::to_wstring(Word());
    p_ -= 2;
    std::wstring s;
    for (WORD c; (c = Word()) != 0;) s += (wchar_t)c;
    return s;
  }
  // Each control's item starts on a 4-byte boundary of the template.
  void AlignDword() { p_ += (4 - (p_ - start_) % 4) % 4; }

 private:
  const BYTE* p_;
  const BYTE* start_;
};

// The predefined classes by name, whether stored by name or as an atom.
std::wstring ClassName(const std::wstring& raw) {
  static const std::map<std::wstring, std::wstring> atoms = {
      {L"#128", L"BUTTON"}, {L"#129", L"EDIT"}, {L"#130", L"STATIC"},
      {L"#131", L"LISTBOX"}, {L"#132", L"SCROLLBAR"}, {L"#133", L"COMBOBOX"}};
  const auto found = atoms.find(raw);
  if (found != atoms.end()) return found->second;
  std::wstring upper = raw;
  for (wchar_t& c : upper) c = towupper(c);
  return upper;
}

}  // namespace

void PrintTo(const Control& c, std::ostream* out) {
  *out << "id " << c.id << " class " << std::string(c.cls.begin(), c.cls.end()) << " at "
       << c.x << "," << c.y << " " << c.cx << "x" << c.cy << " style 0x" << std::hex << c.style
       << " ex 0x" << c.exStyle << std::dec;
}

Template Read(const std::wstring& path, int id, LANGID language) {
  Template t;
  HMODULE module = LoadLibraryExW(path.c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE);
  if (module == NULL) return t;
  HRSRC resource =
      FindResourceExW(module, (LPCWSTR)RT_DIALOG, MAKEINTRESOURCEW(id), language);
  const BYTE* bytes = resource != NULL
                          ? (const BYTE*)LockResource(LoadResource(module, resource))
                          : NULL;
  if (bytes != NULL) {
    t.found = true;
    Reader r(bytes);
    t.style = r.Dword();
    t.exStyle = r.Dword();
    const WORD count = r.Word();
    t.x = r.Word();
    t.y = r.Word();
    t.cx = r.Word();
    t.cy = r.Word();
    t.menu = r.SzOrOrdinal();
    t.cls = r.SzOrOrdinal();
    t.caption = r.SzOrOrdinal();
    if (t.style & DS_SETFONT) {
      t.pointSize = r.Word();
      t.font = r.SzOrOrdinal();
    }
    for (WORD i = 0; i < count; ++i) {
      r.AlignDword();
      Control c;
      c.style = r.Dword();
      c.exStyle = r.Dword();
      c.x = r.Word();
      c.y = r.Word();
      c.cx = r.Word();
      c.cy = r.Word();
      c.id = r.Word();
      c.cls = ClassName(r.SzOrOrdinal());
      c.text = r.SzOrOrdinal();
      // Creation data would follow; these templates carry none.
      const WORD extra = r.Word();
      if (extra != 0) c.text += L" <creation data>";
      t.controls.push_back(c);
    }
  }
  FreeLibrary(module);
  return t;
}

}  // namespace dialog_template
