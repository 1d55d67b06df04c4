// Dialog templates as compiled into a module, read back field by field, so
// a test can compare every item with the layout it was meant to have.
#ifndef TESTS_DIALOG_TEMPLATE_H_
#define TESTS_DIALOG_TEMPLATE_H_

#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

namespace dialog_template {

struct Control {
  WORD id;
  std::wstring cls;  // a predefined class by its upper-case name
  std::wstring text;
  short x, y, cx, cy;
  DWORD style;
  DWORD exStyle = 0;

  bool operator==(const Control& o) const {
    return id == o.id && cls == o.cls && text == o.text && x == o.x && y == o.y && cx == o.cx &&
           cy == o.cy && style == o.style && exStyle == o.exStyle;
  }
};

void PrintTo(const Control& c, std::ostream* out);

/// A classic (not extended) dialog template.
struct Template {
  bool found = false;
  DWORD style = 0, exStyle = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  std::wstring menu, cls, caption, font;  // an ordinal reads as "#number"
  WORD pointSize = 0;
  std::vector<Control> controls;
};

/// Reads dialog `id` in `language` from the module file at `path`; `found`
/// is false when the module has no such dialog in that language.
Template Read(const std::wstring& path, int id, LANGID language);

}  // namespace dialog_template

#endif  // TESTS_DIALOG_TEMPLATE_H_
