// Graph clocks: the system clock that paces a running graph at real time (or at a speed
// factor), and a manual clock whose time moves only when told to, for tests and tools that
// must not depend on the machine's speed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/graph/GraphInterfaces.h"

// One waiter's cancellation: Cancel ends every wait armed before it, at once.
class ClockWaitToken {
public:
    uint64_t Arm() {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_generation;
    }
    void Cancel() {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            ++m_generation;
        }
        m_wake.notify_all();
    }
    bool CancelledSince(uint64_t armed) {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_generation != armed;
    }
    // For clocks: wakes a waiter so that it looks at the time again.
    void Poke() {
        { std::lock_guard<std::mutex> guard(m_lock); }
        m_wake.notify_all();
    }

private:
    friend class CSystemClock;
    friend class CManualClock;
    std::mutex m_lock;
    std::condition_variable m_wake;
    uint64_t m_generation = 0;
};

class CSystemClock : public ComObject<IReferenceClock> {
public:
    // speed 2.0 runs the clock twice as fast as real time.
    explicit CSystemClock(double speed = 1.0);
    // The speed a new graph's clock runs at: $PELMO_AIR_SPEED when it holds a factor the air
    // accepts (0.01 to 1000), so a graph reading what a sped-up air wrote keeps pace with it.
    static double GraphSpeed();

    double Speed() const { return m_speed; }

    HRESULT GetTime(REFERENCE_TIME* time) override;
    HRESULT WaitUntil(REFERENCE_TIME time, ClockWaitToken* token, uint64_t armed) override;

private:
    std::chrono::steady_clock::time_point m_origin;
    double m_speed;
};

class CManualClock : public ComObject<IReferenceClock> {
public:
    // autoAdvance: a wait moves the time forward to its target instead of blocking, so a graph
    // plays as fast as it can while every sample still meets the clock at its own time.
    explicit CManualClock(bool autoAdvance = false) : m_autoAdvance(autoAdvance) {}

    HRESULT GetTime(REFERENCE_TIME* time) override;
    HRESULT WaitUntil(REFERENCE_TIME time, ClockWaitToken* token, uint64_t armed) override;

    void Advance(REFERENCE_TIME by);
    void Set(REFERENCE_TIME time);
    REFERENCE_TIME Now();
    // Waits blocked on a time still ahead of the clock (manual mode), and every wait target
    // seen so far.
    size_t Waiting();
    std::vector<REFERENCE_TIME> Targets();
    // Blocks until at least n waits are blocked on a time ahead of the clock (manual mode), so
    // a test can act while renderers are known to sit on the clock.
    void AwaitWaiting(size_t n);

private:
    void Wake();
    size_t WaitingLocked();

    bool m_autoAdvance;
    std::mutex m_lock;
    std::condition_variable m_changed;
    // Read without the lock by waiters, which hold their token's lock.
    std::atomic<REFERENCE_TIME> m_now{0};
    std::vector<std::pair<ClockWaitToken*, REFERENCE_TIME>> m_waiting;
    std::vector<REFERENCE_TIME> m_targets;
};
