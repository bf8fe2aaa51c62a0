#include "platform/graph/ReferenceClock.h"

#include <cstdlib>

CSystemClock::CSystemClock(double speed)
    : m_origin(std::chrono::steady_clock::now()), m_speed(speed > 0 ? speed : 1.0) {}

double CSystemClock::GraphSpeed() {
    const char* env = std::getenv("PELMO_AIR_SPEED");
    if (!env || !*env) return 1.0;
    char* end = nullptr;
    double speed = std::strtod(env, &end);
    return *end == '\0' && speed >= 0.01 && speed <= 1000.0 ? speed : 1.0;
}

HRESULT CSystemClock::GetTime(REFERENCE_TIME* time) {
    if (!time) return E_POINTER;
    auto elapsed = std::chrono::steady_clock::now() - m_origin;
    double units = std::chrono::duration<double>(elapsed).count() * 1e7 * m_speed;
    *time = static_cast<REFERENCE_TIME>(units);
    return S_OK;
}

HRESULT CSystemClock::WaitUntil(REFERENCE_TIME time, ClockWaitToken* token, uint64_t armed) {
    if (!token) return E_POINTER;
    double seconds = static_cast<double>(time) / 1e7 / m_speed;
    auto deadline = m_origin + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(seconds));
    std::unique_lock<std::mutex> guard(token->m_lock);
    for (;;) {
        if (token->m_generation != armed) return S_FALSE;
        if (std::chrono::steady_clock::now() >= deadline) return S_OK;
        token->m_wake.wait_until(guard, deadline);
    }
}

HRESULT CManualClock::GetTime(REFERENCE_TIME* time) {
    if (!time) return E_POINTER;
    *time = Now();
    return S_OK;
}

REFERENCE_TIME CManualClock::Now() {
    return m_now.load();
}

HRESULT CManualClock::WaitUntil(REFERENCE_TIME time, ClockWaitToken* token, uint64_t armed) {
    if (!token) return E_POINTER;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_targets.push_back(time);
        if (m_autoAdvance) {
            if (token->CancelledSince(armed)) return S_FALSE;
            if (time > m_now.load()) m_now = time;
            return S_OK;
        }
        m_waiting.emplace_back(token, time);
    }
    m_changed.notify_all();
    HRESULT result;
    {
        std::unique_lock<std::mutex> guard(token->m_lock);
        for (;;) {
            if (token->m_generation != armed) {
                result = S_FALSE;
                break;
            }
            if (Now() >= time) {
                result = S_OK;
                break;
            }
            token->m_wake.wait(guard);
        }
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_waiting.begin(); it != m_waiting.end(); ++it)
            if (it->first == token && it->second == time) {
                m_waiting.erase(it);
                break;
            }
    }
    m_changed.notify_all();
    return result;
}

void CManualClock::Wake() {
    // The time is already set: a waiter that looks now sees it. The lock keeps each token
    // alive, as its waiter must take it to leave.
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& w : m_waiting) w.first->Poke();
}

void CManualClock::Advance(REFERENCE_TIME by) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_now = m_now.load() + by;
    }
    Wake();
}

void CManualClock::Set(REFERENCE_TIME time) {
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_now = time;
    }
    Wake();
}

size_t CManualClock::WaitingLocked() {
    size_t n = 0;
    for (auto& w : m_waiting)
        if (w.second > m_now.load()) ++n;
    return n;
}

size_t CManualClock::Waiting() {
    std::lock_guard<std::mutex> guard(m_lock);
    return WaitingLocked();
}

std::vector<REFERENCE_TIME> CManualClock::Targets() {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_targets;
}

void CManualClock::AwaitWaiting(size_t n) {
    std::unique_lock<std::mutex> guard(m_lock);
    m_changed.wait(guard, [&] { return WaitingLocked() >= n; });
}
