// Small text helpers shared by the library's parts.
#pragma once

#include <cstddef>

// The decimal number at the start of a text, read as atoi reads it: leading
// white space, an optional sign, then digits up to the first other
// character; no digits give 0. A value beyond the int range is clamped to it
// (as the Windows C library does) instead of overflowing. Null gives 0.
int ParseDecimal(const char* szText);

// iValue in decimal, as printf's %d writes it, into szOut (room for
// kDecimalSize bytes), terminated; returns its length. For texts made for
// every request and answer, where printf's cost shows.
constexpr size_t kDecimalSize = 12;  // "-2147483648" and the terminator
size_t FormatDecimal(char* szOut, int iValue);

// A log-on request as the log shows it: szText copied into szOut (at most
// iOutSize - 1 bytes and a terminator) with its fourth field, the password,
// written as "***". Fields are separated by runs of spaces.
void CopyMaskingPassword(char* szOut, size_t iOutSize, const char* szText);
