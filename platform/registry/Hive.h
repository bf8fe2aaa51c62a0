// One registry hive held in memory, read from and written to the registry's text export format:
//
//   REGEDIT4
//
//   [HKEY_LOCAL_MACHINE\Software\Kelvarin\Pelmo]
//   "LogLevel"=dword:00000004
//   "InstallDir"="/opt/pelmo"
//   "Blob"=hex:01,02,ff
//   @="default value"
//
// Text is UTF-8. Strings escape '\' and '"' with a backslash. Other value types are written as
// hex(N): with N the type in hex. Hex lists may continue on the next line after a trailing '\'.
// Key paths and value names compare without regard to case, as the platform does, and keep the
// spelling they were created with.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/com/Types.h"

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_QWORD = 11;

class Hive {
public:
    struct Value {
        std::wstring name;  // empty for the default value ("@")
        DWORD type = REG_NONE;
        std::vector<uint8_t> data;  // REG_SZ: the wide characters and a terminating zero
    };
    struct Key {
        std::wstring path;  // below the hive's root, e.g. L"Software\\Kelvarin"
        std::vector<Value> values;
    };

    // rootName is the hive's name as written in key lines ("HKEY_LOCAL_MACHINE").
    explicit Hive(std::wstring rootName) : m_root(std::move(rootName)) {}

    // Reads the text as far as it is valid: at the first line that is not understood the rest
    // is ignored and `error` (when given) says where and why. Returns false in that case.
    bool parse(const std::string& text, std::string* error = nullptr);
    std::string serialize() const;

    Key* findKey(const std::wstring& path);
    // Finds or creates the key and every key above it.
    Key& createKey(const std::wstring& path);
    const std::map<std::wstring, Key>& keys() const { return m_keys; }
    size_t subKeyCount(const std::wstring& path) const;

    static Value* findValue(Key& key, const std::wstring& name);
    static void setValue(Key& key, const std::wstring& name, DWORD type, const uint8_t* data, size_t size);
    static bool deleteValue(Key& key, const std::wstring& name);

    // Values in native form.
    static std::vector<uint8_t> stringData(const std::wstring& text);
    static std::vector<uint8_t> dwordData(DWORD value);

    // Upper-cases ASCII and Latin letters so that paths compare without regard to case; leading,
    // trailing and doubled backslashes are dropped.
    static std::wstring normalize(const std::wstring& path);

private:
    std::wstring m_root;
    std::map<std::wstring, Key> m_keys;  // by normalized path
};
