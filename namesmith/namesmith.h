// namesmith: lists or rewrites the records of the `name` tables of a
// TrueType font or collection held whole in memory.
//
// Names are zero-terminated UTF-16 code units on every platform. Every step
// prints its own messages on standard output through the wide stdio and
// reports only true or false to its caller.
#ifndef NAMESMITH_NAMESMITH_H_
#define NAMESMITH_NAMESMITH_H_

#include <cstdint>

#include "file_io.h"

// Mode flags of a name request.
constexpr uint32_t LIST_NAMES = 0x1;       // list every record, change nothing
constexpr uint32_t ALL_LANGUAGES = 0x2;    // "-a": every language is chosen
constexpr uint32_t EXCEPT_LANGUAGE = 0x4;  // "-x": every language but the given one
constexpr uint32_t ERASE_NAME = 0x8;       // "-e": erase chosen records

/// The whole program after the locale is set: banner, arguments, run.
/// `argv` holds the arguments as UTF-16 units and `paths` the same arguments
/// in the form the platform's file calls take. Always returns 0.
int NamesmithMain(int argc, const char16_t* const* argv, const PathChar* const* paths);

/// Prints the usage text.
void PrintUsage();

/// Reads the source whole, walks it and, in patch mode (`destination` not
/// null), writes the patched bytes. Returns 1 when it printed
/// "Quit the program successfully.", else 0.
int ProcessFile(const PathChar* source, const PathChar* destination, const char16_t* oldName,
                const char16_t* newName, uint32_t language, uint32_t flags);

/// Parses the language argument as a 32-bit `wcstoul` in base 0 would,
/// whatever the width of the platform's `unsigned long`.
uint32_t ParseLanguage(const char16_t* text);

/// Visits every font of a plain font file or a TrueType Collection and hands
/// each `name` table to ProcessNameTable. True when that returned true for
/// at least one font.
bool WalkFontFile(uint32_t size, uint8_t* file, const char16_t* oldName, const char16_t* newName,
                  uint32_t language, uint32_t flags);

/// One font of the file, at `fontOffset`. False when the font is refused.
bool ProcessFont(uint32_t fontOffset, uint8_t* file, uint32_t size, const char16_t* oldName,
                 const char16_t* newName, uint32_t language, uint32_t flags);

/// Checks one `name` table and lists it (LIST_NAMES) or rewrites the chosen
/// records in place. A listing returns true once the table passed its header
/// tests; a patch returns true when at least one record changed.
bool ProcessNameTable(uint8_t* table, uint32_t tableLength, const char16_t* oldName,
                      const char16_t* newName, uint32_t language, uint32_t flags);

/// True when the `length` stored bytes, read as big-endian UTF-16, equal
/// `name` unit for unit; an odd last byte is ignored.
bool NameEquals(const uint8_t* stored, uint32_t length, const char16_t* name);

/// Writes `name` big-endian without a terminator; returns the bytes written.
uint16_t StoreName(uint8_t* destination, const char16_t* name);

#endif  // NAMESMITH_NAMESMITH_H_
