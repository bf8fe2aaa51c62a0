// Service handlers of a bus client: a delegate is invoked with the service name, the request's
// arguments and a reply variant the handler may fill; it answers a status.
#pragma once

#include <string>

#include "platform/com/Variant.h"

class HuxSatelliteDelegateGeneric {
public:
    virtual ~HuxSatelliteDelegateGeneric() = default;
    virtual HRESULT Invoke(const std::wstring& service, VARIANT& args, VARIANT* reply) = 0;
};

// Calls a member function of one object.
template <class T>
class HuxSatelliteDelegateMember : public HuxSatelliteDelegateGeneric {
public:
    using Method = HRESULT (T::*)(const std::wstring& service, VARIANT& args, VARIANT* reply);

    HuxSatelliteDelegateMember(T* target, Method method) : m_target(target), m_method(method) {}

    HRESULT Invoke(const std::wstring& service, VARIANT& args, VARIANT* reply) override {
        return (m_target->*m_method)(service, args, reply);
    }

private:
    T* m_target;
    Method m_method;
};

// The function form of a service handler; context is handed back unchanged.
using HuxServiceFunction = HRESULT (*)(const std::wstring& service, VARIANT& args, VARIANT* reply,
                                       void* context);

class HuxSatelliteDelegateFunction : public HuxSatelliteDelegateGeneric {
public:
    HuxSatelliteDelegateFunction(HuxServiceFunction fn, void* context) : m_fn(fn), m_context(context) {}

    HRESULT Invoke(const std::wstring& service, VARIANT& args, VARIANT* reply) override {
        return m_fn(service, args, reply, m_context);
    }

private:
    HuxServiceFunction m_fn;
    void* m_context;
};
