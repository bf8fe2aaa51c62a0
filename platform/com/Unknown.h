// The counted-reference object model: IUnknown, a base that implements it, and ComPtr.
#pragma once

#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>

#include "platform/com/Guid.h"
#include "platform/com/Types.h"

// {00000000-0000-0000-C000-000000000046}
constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Every interface names its identifier and, except IUnknown, the interface it extends:
//   struct IFoo : IUnknown { COM_INTERFACE(IFoo, IUnknown) ... };
#define COM_INTERFACE(Name, BaseName)                       \
    using InterfaceBase = BaseName;                         \
    static const GUID& iid() { return IID_##Name; }

struct IUnknown {
    virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;
    static const GUID& iid() { return IID_IUnknown; }

protected:
    virtual ~IUnknown() = default;
};

namespace com_detail {
template <class I, class = void>
struct HasBase : std::false_type {};
template <class I>
struct HasBase<I, std::void_t<typename I::InterfaceBase>> : std::true_type {};

// Finds riid among I and the interfaces I extends; returns the matching pointer.
template <class I>
void* match(I* p, REFIID riid) {
    if (riid == I::iid()) return p;
    if constexpr (HasBase<I>::value) {
        using B = typename I::InterfaceBase;
        if constexpr (!std::is_same_v<B, IUnknown>) return match<B>(static_cast<B*>(p), riid);
    }
    return nullptr;
}
}  // namespace com_detail

// Implements IUnknown for a class that implements the listed interfaces. QueryInterface
// answers each listed interface and every interface it extends; a class with further
// interfaces overrides QueryInterfaceExtra.
template <class First, class... Rest>
class ComObject : public First, public Rest... {
public:
    HRESULT QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        void* found = nullptr;
        if (riid == IID_IUnknown) {
            found = static_cast<IUnknown*>(static_cast<First*>(this));
        } else {
            found = com_detail::match<First>(static_cast<First*>(this), riid);
            ((found = found ? found : com_detail::match<Rest>(static_cast<Rest*>(this), riid)), ...);
        }
        if (!found) {
            HRESULT hr = QueryInterfaceExtra(riid, &found);
            if (FAILED(hr) || !found) return E_NOINTERFACE;
        }
        *ppv = found;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return m_refCount.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG Release() override {
        ULONG r = m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (r == 0) delete this;
        return r;
    }
    ULONG refCount() const { return m_refCount.load(); }

protected:
    ComObject() = default;
    ~ComObject() override = default;
    // Hook for interfaces that are not listed; set *ppv without adding a reference.
    virtual HRESULT QueryInterfaceExtra(REFIID, void** ppv) {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }

private:
    std::atomic<ULONG> m_refCount{0};
};

// Creates a counted object and hands back one reference.
template <class T, class... Args>
T* CreateComObject(Args&&... args) {
    T* p = new T(std::forward<Args>(args)...);
    p->AddRef();
    return p;
}

// Owns one counted reference.
template <class T>
class ComPtr {
public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    ComPtr(T* p) : m_p(p) {
        if (m_p) m_p->AddRef();
    }
    ComPtr(const ComPtr& o) : ComPtr(o.m_p) {}
    ComPtr(ComPtr&& o) noexcept : m_p(o.m_p) { o.m_p = nullptr; }
    template <class U, class = std::enable_if_t<std::is_convertible_v<U*, T*>>>
    ComPtr(const ComPtr<U>& o) : ComPtr(static_cast<T*>(o.Get())) {}
    ~ComPtr() { Reset(); }

    ComPtr& operator=(const ComPtr& o) {
        if (this != std::addressof(o)) ComPtr(o).Swap(*this);
        return *this;
    }
    ComPtr& operator=(ComPtr&& o) noexcept {
        if (this != std::addressof(o)) {
            Reset();
            m_p = o.m_p;
            o.m_p = nullptr;
        }
        return *this;
    }
    ComPtr& operator=(T* p) {
        ComPtr(p).Swap(*this);
        return *this;
    }
    ComPtr& operator=(std::nullptr_t) {
        Reset();
        return *this;
    }

    T* Get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }
    bool operator==(const T* p) const { return m_p == p; }
    bool operator!=(const T* p) const { return m_p != p; }

    // For out-parameters: releases what is held and gives the slot.
    T** ReleaseAndGetAddressOf() {
        Reset();
        return &m_p;
    }
    T** operator&() { return ReleaseAndGetAddressOf(); }
    T* const* GetAddressOf() const { return &m_p; }

    void Reset() {
        if (m_p) {
            T* p = m_p;
            m_p = nullptr;
            p->Release();
        }
    }
    // Takes over a reference the caller already owns.
    void Attach(T* p) {
        Reset();
        m_p = p;
    }
    T* Detach() {
        T* p = m_p;
        m_p = nullptr;
        return p;
    }
    void Swap(ComPtr& o) noexcept { std::swap(m_p, o.m_p); }

    // Hands out a new reference.
    HRESULT CopyTo(T** out) const {
        if (!out) return E_POINTER;
        *out = m_p;
        if (m_p) m_p->AddRef();
        return S_OK;
    }
    // Usage: ComPtr<IFoo> foo; hr = p.As(&foo);  (&foo releases what foo held and gives its slot)
    template <class U>
    HRESULT As(U** out) const {
        if (!out) return E_POINTER;
        *out = nullptr;
        if (!m_p) return E_POINTER;
        return m_p->QueryInterface(U::iid(), reinterpret_cast<void**>(out));
    }
    template <class U>
    ComPtr<U> As() const {
        ComPtr<U> r;
        As(r.ReleaseAndGetAddressOf());
        return r;
    }

private:
    T* m_p = nullptr;
};

template <class T>
bool operator==(const ComPtr<T>& a, const ComPtr<T>& b) {
    return a.Get() == b.Get();
}
template <class T>
bool operator!=(const ComPtr<T>& a, const ComPtr<T>& b) {
    return a.Get() != b.Get();
}

// Two references denote the same object when their IUnknown pointers are equal.
inline bool IsSameObject(IUnknown* a, IUnknown* b) {
    if (a == b) return true;
    if (!a || !b) return false;
    ComPtr<IUnknown> ua, ub;
    if (FAILED(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ua)))) return false;
    if (FAILED(b->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&ub)))) return false;
    return ua.Get() == ub.Get();
}
