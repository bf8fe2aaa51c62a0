#include "platform/com/ClassRegistry.h"

ClassRegistry& ClassRegistry::instance() {
    static ClassRegistry registry;
    return registry;
}

void ClassRegistry::registerClasses(const ClassEntry* table, size_t count) {
    std::lock_guard<std::mutex> guard(m_lock);
    for (size_t i = 0; i < count; ++i)
        if (table[i].create) m_classes[table[i].clsid] = table[i];
}

bool ClassRegistry::isRegistered(REFCLSID clsid) const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_classes.count(clsid) != 0;
}

std::vector<ClassEntry> ClassRegistry::classes() const {
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<ClassEntry> out;
    for (const auto& c : m_classes) out.push_back(c.second);
    return out;
}

HRESULT ClassRegistry::create(REFCLSID clsid, IUnknown* outer, DWORD, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ClassCreator creator = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_classes.find(clsid);
        if (it == m_classes.end()) return REGDB_E_CLASSNOTREG;
        auto failure = m_failures.find(clsid);
        if (failure != m_failures.end()) return failure->second;
        creator = it->second.create;
    }
    if (outer) return CLASS_E_NOAGGREGATION;
    // The creator runs outside the lock: a class may create others while it is made.
    HRESULT hr = creator(riid, ppv);
    if (SUCCEEDED(hr) && !*ppv) return E_UNEXPECTED;
    if (FAILED(hr) && *ppv) {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
    }
    return hr;
}

void ClassRegistry::failCreation(REFCLSID clsid, HRESULT hr) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures[clsid] = FAILED(hr) ? hr : E_FAIL;
}

void ClassRegistry::clearFailure(REFCLSID clsid) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures.erase(clsid);
}

void ClassRegistry::clearFailures() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures.clear();
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv) {
    return ClassRegistry::instance().create(clsid, outer, context, riid, ppv);
}
