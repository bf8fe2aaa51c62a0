// printf-style formatting of wide text by the system's own rules.
//
// Conversions: %d %i %u %x %X %o %c %C %s %S %e %E %f %F %g %G %a %A %p %n %%, with the flags
// "-+ #0", a width and a precision (digits or '*'), and the length modifiers hh h l ll L j z t q.
//
// %s takes wide text (const wchar_t*) and %S narrow text (const char*, read as UTF-8 and cut at
// the first invalid sequence). %c takes a wide character, %C a narrow one (a byte, read as
// Latin-1). A precision on %s/%S bounds what is read: the text need not be zero-terminated
// within it.
//
// The system's texts come from a platform whose `long` is 32 bits, and its callers pass LONG
// (int32_t) for %ld, %lu and %lx. So `l` reads a 32-bit argument here, exactly like no modifier;
// only `ll` (and `j`, `q`, `z`, `t`) read 64 bits.
//
// A malformed or unknown conversion is copied to the output as it stands and consumes no
// argument; %n stores nothing. Formatting never fails.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

// Formats into buf, which holds cap wide characters including the terminating zero, and cuts
// the text at the buffer's end. Returns the number of characters written (without the zero).
// *cut, when given, tells whether the text was cut.
size_t VFormatWide(wchar_t* buf, size_t cap, const wchar_t* fmt, va_list args, bool* cut = nullptr);
size_t FormatWide(wchar_t* buf, size_t cap, const wchar_t* fmt, ...);

// Formats into a string of any length.
std::wstring VFormatWideString(const wchar_t* fmt, va_list args);
std::wstring FormatWideString(const wchar_t* fmt, ...);
