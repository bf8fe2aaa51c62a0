// What a PThread runs: a delegate that PThread clones and owns for the life of the thread.
#pragma once

#include <cstdint>

class PThreadDelegateGeneric {
public:
    virtual ~PThreadDelegateGeneric() = default;
    virtual int32_t run(void* arg) = 0;
    virtual PThreadDelegateGeneric* clone() const = 0;
};

// Runs a member function of an object; the object must outlive the thread.
template <typename T>
class PThreadDelegateMember : public PThreadDelegateGeneric {
public:
    using Method = int32_t (T::*)(void*);

    PThreadDelegateMember(T* object, Method method) : m_object(object), m_method(method) {}
    int32_t run(void* arg) override { return (m_object->*m_method)(arg); }
    PThreadDelegateGeneric* clone() const override { return new PThreadDelegateMember(m_object, m_method); }

private:
    T* m_object;
    Method m_method;
};
