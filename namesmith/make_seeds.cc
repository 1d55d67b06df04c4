// Writes fuzz seeds into a folder: built fonts and collections, each behind
// the fuzz target's header (mode flags, language, name lengths, names).
#include <cstdio>
#include <fstream>
#include <string>

#include "font_builder.h"

using namespace font_builder;

namespace {

// Header for renaming "Foo" to "Barbaz" in language 0x0409 under `flags`.
Bytes Header(uint8_t flags) {
  Bytes b{flags, 0x09, 0x04, static_cast<uint8_t>(3 | (6 << 3))};
  const Bytes names = Utf16Be(u"FooBarbaz");
  b.insert(b.end(), names.begin(), names.end());
  return b;
}

void WriteSeed(const std::string& folder, const std::string& name, uint8_t flags,
               const Bytes& font) {
  Bytes seed = Header(flags);
  seed.insert(seed.end(), font.begin(), font.end());
  std::ofstream(folder + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(seed.data()), seed.size());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: namesmith_seeds FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  Record shared = Win(0x411, 1, u"");
  shared.offset = 0;
  shared.length = 6;
  const NameTable names{0,
                        {Win(0x409, 1, u"Foo"), shared, Record{1, 0, 0, 1, Ascii("Foo")},
                         Win(0x409, 2, u"Regular"), Record{0, 3, 0, 4, Utf16Be(u"Foo\U0001F600")}}};
  const Bytes font = BuildFont(FontWithNames(names));
  const Bytes collection = BuildCollection(
      {FontWithNames(names), Font{0x00010000, {{"head", Bytes(54, 0)}}}, FontWithNames(names)});
  for (uint8_t flags : {0x1, 0x0, 0x2, 0x4, 0x8, 0xA}) {
    const std::string suffix = std::to_string(flags);
    WriteSeed(folder, "font-" + suffix, flags, font);
    WriteSeed(folder, "collection-" + suffix, flags, collection);
  }
  return 0;
}
