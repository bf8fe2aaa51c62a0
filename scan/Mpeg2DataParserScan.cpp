// The scan driver of the parser: its scan thread, the guide-data notices that may start it, the
// wait for it, and the counted references of a guide-data event sink.
#include <chrono>
#include <exception>

#include "base/Log.h"
#include "base/PThread.h"
#include "scan/Mpeg2DataParser.h"

Mpeg2DataParser::Mpeg2DataParser(int32_t scanType) : m_scanType(scanType) {}

Mpeg2DataParser::~Mpeg2DataParser() {
    // No notice may arrive while the parser goes: the connection point's Unadvise returns only
    // when none is being delivered.
    if (m_connectionPoint && m_adviseCookie != 0) m_connectionPoint->Unadvise(m_adviseCookie);
    m_adviseCookie = 0;
    m_connectionPoint = nullptr;
    m_guideDataSource = nullptr;
    m_sectionSource = nullptr;
    // An owner that did not wait for the scan thread must not free what it works on.
    {
        std::unique_lock<std::mutex> lock(m_doneLock);
        m_doneSignal.wait(lock, [this] { return m_scanningDone || !m_running; });
    }
}

void Mpeg2DataParser::reset_scan() {
    m_currentTransponder = nullptr;
    m_filters.clear();
    m_transponders.clear();
    {
        std::lock_guard<StartMutex> guard(m_mutex);
        m_started = false;
    }
    std::lock_guard<std::mutex> guard(m_doneLock);
    m_running = false;
    m_scanningDone = false;
}

void Mpeg2DataParser::set_sources(IUnknown* sectionSourceObject, IUnknown* guideDataSource) {
    m_sectionSource = nullptr;
    if (sectionSourceObject)
        sectionSourceObject->QueryInterface(IID_IMpeg2Data, reinterpret_cast<void**>(&m_sectionSource));
    m_guideDataSource = guideDataSource;
}

HRESULT Mpeg2DataParser::advise_guide_events() {
    ComPtr<IConnectionPointContainer> container;
    HRESULT hr = m_guideDataSource ? m_guideDataSource->QueryInterface(IID_IConnectionPointContainer,
                                                                       reinterpret_cast<void**>(&container))
                                   : E_POINTER;
    if (FAILED(hr) || !container) {
        hr = FAILED(hr) ? hr : E_NOINTERFACE;
        error(L"Failed to interface ConnectionPoint with TIF %X", hr);
        return hr;
    }
    hr = container->FindConnectionPoint(IID_IGuideDataEvent, &m_connectionPoint);
    if (FAILED(hr) || !m_connectionPoint) {
        hr = FAILED(hr) ? hr : E_NOINTERFACE;
        m_connectionPoint = nullptr;
        error(L"Failed to find connection point on TIF %X", hr);
        return hr;
    }
    hr = m_connectionPoint->Advise(static_cast<IGuideDataEvent*>(this), &m_adviseCookie);
    if (FAILED(hr)) {
        m_connectionPoint = nullptr;
        m_adviseCookie = 0;
        error(L"Failed to Advice connection point of TIF %X", hr);
        return hr;
    }
    return S_OK;
}

void Mpeg2DataParser::startMpeg2DataScan() {
    std::lock_guard<StartMutex> guard(m_mutex);
    if (!m_started) startScanThread();
}

void Mpeg2DataParser::startScanThread() {
    m_started = true;
    // Running from the moment of the start: a waiter that comes before the thread is
    // scheduled must wait for it rather than take it for a thread that never was.
    m_running = true;
    try {
        PThread thread(nullptr, PThreadDelegateMember<Mpeg2DataParser>(
                                    this, &Mpeg2DataParser::StartMpeg2DataScanThread));
        thread.detach();
    } catch (const std::exception&) {
        error(L"# could not start the scan thread of Mpeg2DataParser");
        signalScanningDone();
    }
}

int32_t Mpeg2DataParser::StartMpeg2DataScanThread(void*) {
    m_running = true;
    info(L"StartMpeg2DataScanThread called");
    try {
        scan_tables();
    } catch (...) {
        error(L"# Unhandled exception in Mpeg2DataParser::StartMpeg2DataScanThread()");
    }
    // The owner may destroy the parser as soon as this is signalled: nothing of it is touched
    // afterwards.
    signalScanningDone();
    return 0;
}

void Mpeg2DataParser::signalScanningDone() {
    std::lock_guard<std::mutex> guard(m_doneLock);
    m_running = false;
    m_scanningDone = true;
    m_doneSignal.notify_all();
}

DWORD Mpeg2DataParser::wait_scan_done() {
    std::unique_lock<std::mutex> lock(m_doneLock);
    for (;;) {
        if (m_doneSignal.wait_for(lock, std::chrono::milliseconds(m_hooks.waitStepMs),
                                  [this] { return m_scanningDone; }))
            return WAIT_OBJECT_0;
        if (!m_running) return WAIT_TIMEOUT;
    }
}

HRESULT Mpeg2DataParser::ServiceChanged(VARIANT) {
    info(L"servicechanged received");
    if (m_hooks.beforeLock) m_hooks.beforeLock();
    if (!m_mutex.try_lock_for(std::chrono::milliseconds(1000))) return S_OK;
    if (m_hooks.afterLock) m_hooks.afterLock();
    // The first notice after tuning starts the table scan, unless it was started already.
    if (!m_started) startScanThread();
    m_mutex.unlock();
    return S_OK;
}

HRESULT Mpeg2DataParser::GuideDataAcquired() {
    info(L"GuideDataAcquired received");
    return S_OK;
}

HRESULT Mpeg2DataParser::ProgramChanged(VARIANT) {
    info(L"ProgramChanged received");
    return S_OK;
}

HRESULT Mpeg2DataParser::ScheduleEntryChanged(VARIANT) {
    info(L"ScheduleEntryChanged received");
    return S_OK;
}

HRESULT Mpeg2DataParser::ProgramDeleted(VARIANT) {
    info(L"ProgramDeleted received");
    return S_OK;
}

HRESULT Mpeg2DataParser::ServiceDeleted(VARIANT) {
    info(L"ServiceDeleted received");
    return S_OK;
}

HRESULT Mpeg2DataParser::ScheduleDeleted(VARIANT) {
    info(L"ScheduleDeleted received");
    return S_OK;
}

HRESULT Mpeg2DataParser::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IGuideDataEvent) {
        *ppv = static_cast<IGuideDataEvent*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG Mpeg2DataParser::AddRef() {
    return static_cast<ULONG>(m_refCount.fetch_add(1) + 1);
}

ULONG Mpeg2DataParser::Release() {
    // The owner (the scan of one frequency) destroys the parser, never its last reference.
    return static_cast<ULONG>(m_refCount.fetch_sub(1) - 1);
}
