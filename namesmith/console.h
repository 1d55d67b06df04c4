// Wide text on standard output, converted to the user's locale encoding.
#ifndef NAMESMITH_CONSOLE_H_
#define NAMESMITH_CONSOLE_H_

/// Prints formatted wide text, as wprintf does.
void Print(const wchar_t* format, ...);

/// Prints one character of a listed name. Its result is ignored on purpose:
/// a character the locale cannot encode simply prints nothing.
void PutNameChar(wchar_t c);

/// Hands everything printed so far to the system.
void FlushConsole();

#endif  // NAMESMITH_CONSOLE_H_
