// A first-in first-out queue guarded by its own mutex and condition. The queue operations are
// plain: callers hold the inherited mutex around every one of them.
#pragma once

#include <cstddef>
#include <deque>

#include "base/PCondMutex.h"

template <class T>
class PQueueCondMutex : public PCondMutex {
public:
    PQueueCondMutex() : PCondMutex(false) {}
    // Drops the storage only: elements that own something are the owner's to release first.
    ~PQueueCondMutex() override = default;

    void push(T value) { queue.push_back(value); }
    T& front() { return queue.front(); }
    void pop() { queue.pop_front(); }
    size_t size() const { return queue.size(); }
    bool empty() const { return queue.empty(); }

private:
    std::deque<T> queue;
};
