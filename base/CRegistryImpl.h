// CRegistry on the platform registry (HKEY_LOCAL_MACHINE). Each operation opens the key, does
// its work and closes it again.
#pragma once

#include <cstdint>
#include <memory>

#include "base/CRegistry.h"

class CRegistryImpl : public CRegistry {
public:
    bool writeDWORD(const std::wstring& key, const std::wstring& name, int32_t value) override;
    bool writeString(const std::wstring& key, const std::wstring& name, const std::wstring& value) override;
    bool readDWORD(const std::wstring& key, const std::wstring& name, int32_t& value) override;
    bool readString(const std::wstring& key, const std::wstring& name, std::wstring& value) override;
    long readAll(const std::wstring& key, std::map<std::wstring, std::wstring>& values) override;

    // False for no bytes; otherwise true when stored as a binary value.
    virtual bool writeBytes(const std::wstring& key, const std::wstring& name, const uint8_t* bytes,
                            long length);
    // A new buffer of the value's length, owned by the caller.
    virtual bool readBytes(const std::wstring& key, const std::wstring& name,
                           std::unique_ptr<uint8_t[]>& bytes, long& length);
};
