// Settings access: the machine-wide hive through one shared object. Keys are paths below
// HKEY_LOCAL_MACHINE ("Software\\Kelvarin\\Pelmo\\PelmoTV"). Nothing here throws; callers keep
// their defaults when a read answers false.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

class CRegistry {
public:
    virtual ~CRegistry() = default;
    virtual bool writeDWORD(const std::wstring& key, const std::wstring& name, int32_t value) = 0;
    virtual bool writeString(const std::wstring& key, const std::wstring& name,
                             const std::wstring& value) = 0;
    // The out value is written only when the key and the value exist.
    virtual bool readDWORD(const std::wstring& key, const std::wstring& name, int32_t& value) = 0;
    virtual bool readString(const std::wstring& key, const std::wstring& name, std::wstring& value) = 0;
    // String values by name, DWORD values as decimal text; other types are left out. Answers 0
    // or the platform's error when the key cannot be opened.
    virtual long readAll(const std::wstring& key, std::map<std::wstring, std::wstring>& values) = 0;

    // The shared instance, made on first use and kept for the life of the process.
    static std::shared_ptr<CRegistry> getInstance();
};

// The two reads the system uses, on the shared instance.
bool readRegistryDWORD(const std::wstring& key, const std::wstring& name, int32_t& value);
bool readRegistryString(const std::wstring& key, const std::wstring& name, std::wstring& value);
