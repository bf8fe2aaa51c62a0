// A one-way latch: once set it stays set, and every wait returns.
#pragma once

#include "base/PCondMutex.h"

class PLatch : public PCondMutex {
public:
    explicit PLatch(bool set = false) : m_set(set) {}

    void set();
    void wait();
    bool isSet();

private:
    bool m_set;
};
