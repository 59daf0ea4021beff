// Small text helpers shared by the library's parts.
#pragma once

// The decimal number at the start of a text, read as atoi reads it: leading
// white space, an optional sign, then digits up to the first other
// character; no digits give 0. A value beyond the int range is clamped to it
// (as the Windows C library does) instead of overflowing. Null gives 0.
int ParseDecimal(const char* szText);
