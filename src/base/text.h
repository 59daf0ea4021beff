// Small text helpers shared by the library's parts.
#pragma once

#include <cstddef>

// The decimal number at the start of a text, read as atoi reads it: leading
// white space, an optional sign, then digits up to the first other
// character; no digits give 0. A value beyond the int range is clamped to it
// (as the Windows C library does) instead of overflowing. Null gives 0.
int ParseDecimal(const char* szText);
// The same for a text that ends after iLength bytes, or at a zero byte
// before that.
int ParseDecimal(const char* pText, size_t iLength);

// One field of a text: where it starts and how many bytes it has.
struct TextField {
    const char* pStart;
    size_t iLength;
};

// The fields of a text as the support library's split_CharLine cuts them,
// found without cutting or copying: the text ends at its first zero byte or
// after iLength bytes; runs of cSep part fields; the count stops at iLimit,
// and a field at the limit keeps the rest of the text, without the
// separators at its end. The first iWanted fields go into pFields. Returns
// the field count.
int FindFields(const char* pText, size_t iLength, char cSep, int iLimit, TextField* pFields,
               int iWanted);

// iValue in decimal, as printf's %d writes it, into szOut (room for
// kDecimalSize bytes), terminated; returns its length. For texts made for
// every request and answer, where printf's cost shows.
constexpr size_t kDecimalSize = 12;  // "-2147483648" and the terminator
size_t FormatDecimal(char* szOut, int iValue);

// A log-on request as the log shows it: szText copied into szOut (at most
// iOutSize - 1 bytes and a terminator) with its fourth field, the password,
// written as "***". Fields are separated by runs of spaces.
void CopyMaskingPassword(char* szOut, size_t iOutSize, const char* szText);

// Text from the server made fit for one log line: szText copied into szOut
// (at most iOutSize - 1 bytes and a terminator) with every control byte,
// 0x01 to 0x1F and 0x7F, written as "\xHH" (two upper-case hex digits), so
// that no line break, carriage return or terminal escape of the server's
// reaches the log. Every other byte stays as it is: printable ASCII, the
// backslash, and GBK's two-byte characters (lead 0x81 to 0xFE, trail 0x40
// to 0xFE but 0x7F), none of whose bytes is a control byte. A text that
// does not fit is cut before the first escape or two-byte character that
// would not fit whole. Returns the length written. Null reads as "".
size_t CopyEscapingControls(char* szOut, size_t iOutSize, const char* szText);
// The same for a text that ends after iLength bytes, or at a zero byte
// before that.
size_t CopyEscapingControls(char* szOut, size_t iOutSize, const char* pText, size_t iLength);
