#include "platform/registry/Hive.h"

#include <cstring>

namespace {

// Full UTF-8 decoding for hive text; a byte that does not start a valid, shortest-form sequence becomes
// U+FFFD so that a damaged name stays visible instead of vanishing.
std::wstring fromUtf8(const std::string& s) {
    std::wstring out;
    size_t i = 0, n = s.size();
    while (i < n) {
        auto c = static_cast<unsigned char>(s[i]);
        int extra = c < 0x80             ? 0
                    : (c & 0xE0) == 0xC0 ? 1
                    : (c & 0xF0) == 0xE0 ? 2
                    : (c & 0xF8) == 0xF0 ? 3
                                         : -1;
        if (extra < 0 || n - i <= static_cast<size_t>(extra)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        uint32_t cp = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
        bool ok = true;
        for (int k = 1; k <= extra; ++k) {
            auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = cp << 6 | (b & 0x3F);
        }
        // Overlong forms are refused too: "\xC0\x80" would smuggle a zero, a line feed or a ']'
        // into a name, and writing the hive back would then give a different file.
        static const uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < kMinimum[extra] || cp > 0x10FFFF) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += 1 + extra;
    }
    return out;
}

std::string toUtf8(const std::wstring& w) {
    std::string out;
    for (wchar_t wc : w) {
        auto c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out += "\xEF\xBF\xBD";
        }
    }
    return out;
}

wchar_t upper(wchar_t c) {
    if (c >= L'a' && c <= L'z') return static_cast<wchar_t>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<wchar_t>(c - 0x20);
    return c;
}

bool equalNoCase(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (upper(a[i]) != upper(b[i])) return false;
    return true;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void skipBlanks(const std::string& s, size_t& i) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
}

// Reads a quoted string starting at s[i] == '"'; on success i is past the closing quote.
bool readQuoted(const std::string& s, size_t& i, std::string& out) {
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    out.clear();
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') return true;
        if (c == '\\') {
            if (i >= s.size()) return false;
            char e = s[i++];
            if (e != '\\' && e != '"') return false;
            out.push_back(e);
        } else {
            out.push_back(c);
        }
    }
    return false;
}

// Reads comma-separated hex bytes from s[i..]; `more` is set when the line ends in '\' (the
// list goes on in the next line).
bool readHexList(const std::string& s, size_t i, std::vector<uint8_t>& out, bool& more) {
    more = false;
    skipBlanks(s, i);
    while (i < s.size()) {
        if (s[i] == '\\') {
            ++i;
            skipBlanks(s, i);
            if (i != s.size()) return false;
            more = true;
            return true;
        }
        int h = hexDigit(s[i]);
        if (h < 0) return false;
        int v = h;
        ++i;
        if (i < s.size() && hexDigit(s[i]) >= 0) v = v * 16 + hexDigit(s[i++]);
        out.push_back(static_cast<uint8_t>(v));
        skipBlanks(s, i);
        if (i < s.size()) {
            if (s[i] == ',') {
                ++i;
                skipBlanks(s, i);
            } else if (s[i] != '\\') {
                return false;
            }
        }
    }
    return true;
}

// A string value is written as text when it fits on one line; anything else keeps its exact
// bytes as hex(1).
bool isPlainString(const std::vector<uint8_t>& data, std::wstring& text) {
    if (data.empty() || data.size() % sizeof(wchar_t) != 0) return false;
    text.assign(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
    if (text.back() != L'\0') return false;
    text.pop_back();
    return text.find_first_of(std::wstring(L"\r\n\0", 3)) == std::wstring::npos;
}

std::string quote(const std::string& s) {
    std::string out = "\"";
    for (char c : s) {
        if (c == '\\' || c == '"') out.push_back('\\');
        out.push_back(c);
    }
    out.push_back('"');
    return out;
}

std::string hexList(const std::vector<uint8_t>& data) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < data.size(); ++i) {
        if (i) out.push_back(',');
        out.push_back(digits[data[i] >> 4]);
        out.push_back(digits[data[i] & 15]);
    }
    return out;
}

}  // namespace

std::wstring Hive::normalize(const std::wstring& path) {
    std::wstring out;
    out.reserve(path.size());
    for (wchar_t c : path) {
        if (c == L'\\' && (out.empty() || out.back() == L'\\')) continue;
        out.push_back(upper(c));
    }
    if (!out.empty() && out.back() == L'\\') out.pop_back();
    return out;
}

Hive::Key* Hive::findKey(const std::wstring& path) {
    auto it = m_keys.find(normalize(path));
    return it == m_keys.end() ? nullptr : &it->second;
}

Hive::Key& Hive::createKey(const std::wstring& path) {
    // Keep the caller's spelling, without stray separators.
    std::wstring clean;
    for (wchar_t c : path) {
        if (c == L'\\' && (clean.empty() || clean.back() == L'\\')) continue;
        clean.push_back(c);
    }
    if (!clean.empty() && clean.back() == L'\\') clean.pop_back();
    // Parents first, so that opening any level of the path works.
    for (size_t pos = clean.find(L'\\'); pos != std::wstring::npos; pos = clean.find(L'\\', pos + 1)) {
        std::wstring parent = clean.substr(0, pos);
        auto& k = m_keys[normalize(parent)];
        if (k.path.empty()) k.path = parent;
    }
    auto& key = m_keys[normalize(clean)];
    if (key.path.empty()) key.path = clean;
    return key;
}

size_t Hive::subKeyCount(const std::wstring& path) const {
    std::wstring prefix = normalize(path);
    if (!prefix.empty()) prefix.push_back(L'\\');
    size_t count = 0;
    for (auto it = m_keys.lower_bound(prefix); it != m_keys.end(); ++it) {
        if (it->first.compare(0, prefix.size(), prefix) != 0) break;
        if (it->first.size() > prefix.size() && it->first.find(L'\\', prefix.size()) == std::wstring::npos)
            ++count;
    }
    return count;
}

Hive::Value* Hive::findValue(Key& key, const std::wstring& name) {
    for (auto& v : key.values)
        if (equalNoCase(v.name, name)) return &v;
    return nullptr;
}

void Hive::setValue(Key& key, const std::wstring& name, DWORD type, const uint8_t* data, size_t size) {
    Value* v = findValue(key, name);
    if (!v) {
        key.values.push_back(Value{name, type, {}});
        v = &key.values.back();
    }
    v->type = type;
    v->data.assign(data, data + size);
}

bool Hive::deleteValue(Key& key, const std::wstring& name) {
    for (auto it = key.values.begin(); it != key.values.end(); ++it) {
        if (equalNoCase(it->name, name)) {
            key.values.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> Hive::stringData(const std::wstring& text) {
    std::vector<uint8_t> data((text.size() + 1) * sizeof(wchar_t), 0);
    std::memcpy(data.data(), text.data(), text.size() * sizeof(wchar_t));
    return data;
}

std::vector<uint8_t> Hive::dwordData(DWORD value) {
    std::vector<uint8_t> data(sizeof value);
    std::memcpy(data.data(), &value, sizeof value);
    return data;
}

bool Hive::parse(const std::string& text, std::string* error) {
    auto fail = [&](size_t lineNo, const char* why) {
        if (error) *error = "line " + std::to_string(lineNo) + ": " + why;
        return false;
    };
    size_t pos = 0, lineNo = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    bool header = false;
    Key* key = nullptr;
    // A hex list that continues on the next line.
    Value pending;
    bool continuing = false;

    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find('\0') != std::string::npos) return fail(lineNo, "zero byte");

        if (continuing) {
            bool more = false;
            if (!readHexList(line, 0, pending.data, more)) return fail(lineNo, "bad hex list");
            if (!more) {
                setValue(*key, pending.name, pending.type, pending.data.data(), pending.data.size());
                continuing = false;
            }
            continue;
        }

        size_t i = 0;
        skipBlanks(line, i);
        if (i == line.size() || line[i] == ';') continue;

        if (!header) {
            std::string h = line.substr(i);
            while (!h.empty() && (h.back() == ' ' || h.back() == '\t')) h.pop_back();
            if (h != "REGEDIT4" && h != "Windows Registry Editor Version 5.00")
                return fail(lineNo, "missing REGEDIT4 header");
            header = true;
            continue;
        }

        if (line[i] == '[') {
            size_t close = line.rfind(']');
            if (close == std::string::npos || close < i) return fail(lineNo, "key line without ']'");
            size_t after = close + 1;
            skipBlanks(line, after);
            if (after != line.size()) return fail(lineNo, "text after key line");
            std::wstring full = fromUtf8(line.substr(i + 1, close - i - 1));
            if (full.size() < m_root.size() || !equalNoCase(full.substr(0, m_root.size()), m_root) ||
                (full.size() > m_root.size() && full[m_root.size()] != L'\\'))
                return fail(lineNo, "key outside this hive");
            key = &createKey(full.substr(m_root.size()));
            continue;
        }

        if (line[i] != '"' && line[i] != '@') return fail(lineNo, "not a key or value line");
        if (!key) return fail(lineNo, "value before any key");
        std::string name;
        if (line[i] == '@') {
            ++i;
        } else if (!readQuoted(line, i, name)) {
            return fail(lineNo, "bad value name");
        }
        skipBlanks(line, i);
        if (i >= line.size() || line[i] != '=') return fail(lineNo, "missing '='");
        ++i;
        skipBlanks(line, i);
        std::wstring wname = fromUtf8(name);

        if (i < line.size() && line[i] == '"') {
            std::string value;
            if (!readQuoted(line, i, value)) return fail(lineNo, "bad string value");
            skipBlanks(line, i);
            if (i != line.size()) return fail(lineNo, "text after string value");
            auto data = stringData(fromUtf8(value));
            setValue(*key, wname, REG_SZ, data.data(), data.size());
        } else if (line.compare(i, 6, "dword:") == 0) {
            i += 6;
            DWORD v = 0;
            size_t digits = 0;
            for (; i < line.size() && hexDigit(line[i]) >= 0; ++i, ++digits) v = v * 16 + hexDigit(line[i]);
            skipBlanks(line, i);
            if (digits == 0 || digits > 8 || i != line.size()) return fail(lineNo, "bad dword value");
            auto data = dwordData(v);
            setValue(*key, wname, REG_DWORD, data.data(), data.size());
        } else if (line.compare(i, 3, "hex") == 0) {
            i += 3;
            DWORD type = REG_BINARY;
            if (i < line.size() && line[i] == '(') {
                ++i;
                DWORD t = 0;
                size_t digits = 0;
                for (; i < line.size() && hexDigit(line[i]) >= 0; ++i, ++digits)
                    t = t * 16 + hexDigit(line[i]);
                if (digits == 0 || digits > 8 || i >= line.size() || line[i] != ')')
                    return fail(lineNo, "bad hex type");
                ++i;
                type = t;
            }
            if (i >= line.size() || line[i] != ':') return fail(lineNo, "missing ':' after hex");
            ++i;
            pending = Value{wname, type, {}};
            bool more = false;
            if (!readHexList(line, i, pending.data, more)) return fail(lineNo, "bad hex list");
            if (more) {
                continuing = true;
            } else {
                setValue(*key, wname, type, pending.data.data(), pending.data.size());
            }
        } else {
            return fail(lineNo, "unknown value type");
        }
    }
    if (!header && lineNo > 0) return fail(lineNo, "missing REGEDIT4 header");
    // A continued list cut off by the end of the file is incomplete: it is not stored.
    if (continuing) return fail(lineNo, "hex list cut off at end of file");
    return true;
}

std::string Hive::serialize() const {
    std::string out = "REGEDIT4\n";
    std::string root = toUtf8(m_root);
    for (const auto& entry : m_keys) {
        const Key& key = entry.second;
        out += "\n[" + root;
        if (!key.path.empty()) out += "\\" + toUtf8(key.path);
        out += "]\n";
        for (const Value& v : key.values) {
            out += v.name.empty() ? std::string("@") : quote(toUtf8(v.name));
            out += '=';
            std::wstring text;
            if (v.type == REG_SZ && isPlainString(v.data, text)) {
                out += quote(toUtf8(text));
            } else if (v.type == REG_DWORD && v.data.size() == 4) {
                DWORD d;
                std::memcpy(&d, v.data.data(), 4);
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", d);
                out += buf;
            } else if (v.type == REG_BINARY) {
                out += "hex:" + hexList(v.data);
            } else {
                char buf[24];
                std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
                out += buf + hexList(v.data);
            }
            out += '\n';
        }
    }
    return out;
}
