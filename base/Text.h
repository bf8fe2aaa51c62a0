// Conversions between byte strings and wide text, by the system's own rules.
#pragma once

#include <string>
#include <vector>

// Reads bytes as UTF-8 sequences of one to three bytes; stops at the first invalid or
// incomplete sequence (four-byte forms included) and keeps what came before.
std::wstring NarrowToWide(const std::string& bytes);
std::wstring NarrowToWide(const char* bytes, size_t len);

// Writes each character on its own: below 0x80 one byte, below 0x800 two, otherwise three.
// Characters above 0xFFFF are first split into their two UTF-16 halves, each written as
// three bytes, so the bytes match what a 16-bit wide string would give.
std::string WideToUtf8(const std::wstring& text);
std::string WideToUtf8(const wchar_t* text, size_t len);
void AppendWideAsUtf8(std::string& out, const wchar_t* text, size_t len);
// The same into a buffer with room for kUtf8BytesPerWide bytes per character; answers the
// number of bytes written.
constexpr size_t kUtf8BytesPerWide = 6;
size_t WriteWideAsUtf8(char* out, const wchar_t* text, size_t len);

// Splits at every occurrence of separator; an empty separator gives the whole text as one piece.
// Always at least one piece: "a//b" by "/" gives "a", "", "b".
std::vector<std::wstring> SplitText(const std::wstring& text, const std::wstring& separator);
