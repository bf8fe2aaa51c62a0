#include "base/CRegistry.h"

#include "base/CRegistryImpl.h"

std::shared_ptr<CRegistry> CRegistry::getInstance() {
    // Made on first use, which falls within the plug-in's factory before any other thread runs;
    // the function-local static also makes a racing first use safe.
    static const std::shared_ptr<CRegistry> instance = std::make_shared<CRegistryImpl>();
    return instance;
}

bool readRegistryDWORD(const std::wstring& key, const std::wstring& name, int32_t& value) {
    return CRegistry::getInstance()->readDWORD(key, name, value);
}

bool readRegistryString(const std::wstring& key, const std::wstring& name, std::wstring& value) {
    return CRegistry::getInstance()->readString(key, name, value);
}
