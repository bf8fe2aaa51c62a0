// Object creation by class: CoCreateInstance looks the class up in one registry. Each platform
// layer hands its classes over as one table (see e.g. RegisterGraphClasses), called from the
// start-up code that wants the layer; nothing registers itself from a static constructor.
#pragma once

#include <map>
#include <mutex>
#include <vector>

#include "platform/com/Unknown.h"

// Creation contexts: accepted for the platform's signature; every class here is in-process.
constexpr DWORD CLSCTX_INPROC_SERVER = 0x1;
constexpr DWORD CLSCTX_INPROC_HANDLER = 0x2;
constexpr DWORD CLSCTX_LOCAL_SERVER = 0x4;
constexpr DWORD CLSCTX_REMOTE_SERVER = 0x10;
constexpr DWORD CLSCTX_INPROC = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;
constexpr DWORD CLSCTX_ALL = CLSCTX_INPROC | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110u);

// Makes one object of the class and answers riid on it, as QueryInterface would.
using ClassCreator = HRESULT (*)(REFIID riid, void** ppv);

struct ClassEntry {
    CLSID clsid;
    const char* name;  // for messages and tests
    ClassCreator create;
};

// The usual creator: a new T, queried for riid.
template <class T>
HRESULT CreateClassObject(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    ComPtr<T> object;
    object.Attach(CreateComObject<T>());
    return object->QueryInterface(riid, ppv);
}

class ClassRegistry {
public:
    static ClassRegistry& instance();

    // Adds (or replaces, by class id) every entry of a layer's table. Registering the same
    // table again changes nothing.
    void registerClasses(const ClassEntry* table, size_t count);
    template <size_t N>
    void registerClasses(const ClassEntry (&table)[N]) {
        registerClasses(table, N);
    }
    bool isRegistered(REFCLSID clsid) const;
    // Registered classes in class-id order (for listings and tests).
    std::vector<ClassEntry> classes() const;

    HRESULT create(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

    // Test hook: creating `clsid` fails with `hr` until cleared, so that the caller's handling
    // of that failure can be reached.
    void failCreation(REFCLSID clsid, HRESULT hr);
    void clearFailure(REFCLSID clsid);
    void clearFailures();

private:
    ClassRegistry() = default;
    mutable std::mutex m_lock;
    std::map<CLSID, ClassEntry> m_classes;
    std::map<CLSID, HRESULT> m_failures;
};

// S_OK with the object; REGDB_E_CLASSNOTREG for a class nobody registered;
// CLASS_E_NOAGGREGATION with an outer object (no class here aggregates); E_POINTER without ppv.
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown* outer, DWORD context, REFIID riid, void** ppv);

// Makes one class fail to create for the lifetime of the object.
class ScopedClassFailure {
public:
    ScopedClassFailure(REFCLSID clsid, HRESULT hr) : m_clsid(clsid) {
        ClassRegistry::instance().failCreation(clsid, hr);
    }
    ~ScopedClassFailure() { ClassRegistry::instance().clearFailure(m_clsid); }
    ScopedClassFailure(const ScopedClassFailure&) = delete;
    ScopedClassFailure& operator=(const ScopedClassFailure&) = delete;

private:
    CLSID m_clsid;
};
