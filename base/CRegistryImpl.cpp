#include "base/CRegistryImpl.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/registry/Registry.h"

namespace {

// A key opened for the length of one operation.
class OpenKey {
public:
    OpenKey(const std::wstring& path, bool write) {
        if (write) {
            m_rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, &m_key, nullptr);
        } else {
            m_rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &m_key);
        }
    }
    ~OpenKey() {
        if (m_rc == ERROR_SUCCESS) RegCloseKey(m_key);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;

    bool ok() const { return m_rc == ERROR_SUCCESS; }
    LONG rc() const { return m_rc; }
    HKEY get() const { return m_key; }

private:
    HKEY m_key = nullptr;
    LONG m_rc;
};

// The platform reads strings into a fixed buffer of 2,048 bytes of 16-bit characters; the same
// number of characters is kept here. A longer value is cut to it.
constexpr DWORD kStringChars = 1024;

}  // namespace

bool CRegistryImpl::writeDWORD(const std::wstring& key, const std::wstring& name, int32_t value) {
    OpenKey k(key, true);
    if (!k.ok()) return false;
    DWORD v = static_cast<DWORD>(value);
    return RegSetValueExW(k.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), sizeof v) ==
           ERROR_SUCCESS;
}

bool CRegistryImpl::writeString(const std::wstring& key, const std::wstring& name,
                                const std::wstring& value) {
    OpenKey k(key, true);
    if (!k.ok()) return false;
    return RegSetValueExW(k.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool CRegistryImpl::readDWORD(const std::wstring& key, const std::wstring& name, int32_t& value) {
    OpenKey k(key, false);
    if (!k.ok()) return false;
    DWORD size = 0;
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return false;
    // The type is not looked at; a value of more than 4 bytes is read as missing rather than
    // overflow the slot, one of fewer fills the low bytes.
    uint8_t slot[4] = {0, 0, 0, 0};
    DWORD slotSize = sizeof slot;
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, slot, &slotSize) != ERROR_SUCCESS)
        return false;
    uint32_t v;
    std::memcpy(&v, slot, sizeof v);
    value = static_cast<int32_t>(v);
    return true;
}

bool CRegistryImpl::readString(const std::wstring& key, const std::wstring& name, std::wstring& value) {
    OpenKey k(key, false);
    if (!k.ok()) return false;
    DWORD size = 0;
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::vector<uint8_t> data(size);
    if (size &&
        RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, data.data(), &size) != ERROR_SUCCESS)
        return false;
    std::vector<wchar_t> buf(kStringChars, L'\0');
    std::memcpy(buf.data(), data.data(), std::min<size_t>(size, (kStringChars - 1) * sizeof(wchar_t)));
    value.assign(buf.data());
    return true;
}

long CRegistryImpl::readAll(const std::wstring& key, std::map<std::wstring, std::wstring>& values) {
    OpenKey k(key, false);
    if (!k.ok()) return k.rc();
    DWORD maxName = 0, maxData = 0;
    if (RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                         &maxData, nullptr, nullptr) != ERROR_SUCCESS)
        return 0;
    std::vector<wchar_t> name(maxName + 1);
    std::vector<uint8_t> data(maxData + 1);
    for (DWORD i = 0;; ++i) {
        DWORD nameLen = static_cast<DWORD>(name.size());
        DWORD dataLen = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueW(k.get(), i, name.data(), &nameLen, nullptr, &type, data.data(), &dataLen) !=
            ERROR_SUCCESS)
            break;
        std::wstring n(name.data(), nameLen);
        if (type == REG_SZ) {
            size_t chars = dataLen / sizeof(wchar_t);
            std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), chars);
            size_t zero = text.find(L'\0');
            if (zero != std::wstring::npos) text.resize(zero);
            values[n] = text;
        } else if (type == REG_DWORD && dataLen >= 4) {
            int32_t v;
            std::memcpy(&v, data.data(), sizeof v);
            values[n] = std::to_wstring(v);
        }
    }
    return 0;
}

bool CRegistryImpl::writeBytes(const std::wstring& key, const std::wstring& name, const uint8_t* bytes,
                               long length) {
    if (!bytes || length < 1) return false;
    OpenKey k(key, true);
    if (!k.ok()) return false;
    return RegSetValueExW(k.get(), name.c_str(), 0, REG_BINARY, bytes, static_cast<DWORD>(length)) ==
           ERROR_SUCCESS;
}

bool CRegistryImpl::readBytes(const std::wstring& key, const std::wstring& name,
                              std::unique_ptr<uint8_t[]>& bytes, long& length) {
    OpenKey k(key, false);
    if (!k.ok()) return false;
    DWORD size = 0;
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, nullptr, &size) != ERROR_SUCCESS)
        return false;
    std::unique_ptr<uint8_t[]> buf(new uint8_t[size ? size : 1]);
    if (RegQueryValueExW(k.get(), name.c_str(), nullptr, nullptr, buf.get(), &size) != ERROR_SUCCESS)
        return false;
    bytes = std::move(buf);
    length = static_cast<long>(size);
    return true;
}
