// Reads the PSI/SI tables of one tuned multiplex into transponder and service records.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/ByteReader.h"
#include "platform/mpeg2data/GuideData.h"
#include "platform/mpeg2data/Mpeg2Data.h"
#include "scan/Mpeg2Records.h"

// One parser serves one frequency: the table requests (section filters) are queued, worked
// off against the section source, and every section is parsed into the records, which are
// read out at the end as a channel list. DVB-T reads PAT, NIT, SDT and the PMTs; ATSC reads
// PAT, the terrestrial VCT and the PMTs.
//
// The tables are read on a scan thread of the parser's own, started once: by
// startMpeg2DataScan, or earlier by the transport information filter's first service-change
// notice, to which the parser subscribes as a guide-data event sink. Its owner waits for the
// thread (wait_scan_done) before it reads the records or destroys the parser; the counted
// references of IUnknown are kept but never destroy it.
class Mpeg2DataParser : public IGuideDataEvent {
public:
    enum ScanType : int32_t { SCAN_OTHER = 0, SCAN_ATSC = 1, SCAN_DVBT = 2 };
    // Results of wait_scan_done.
    static constexpr DWORD WAIT_OBJECT_0 = 0;
    static constexpr DWORD WAIT_TIMEOUT = 0x102;

    explicit Mpeg2DataParser(int32_t scanType);
    // Cancels the subscription first, so that no notice arrives while the parser goes.
    ~Mpeg2DataParser() override;
    Mpeg2DataParser(const Mpeg2DataParser&) = delete;
    Mpeg2DataParser& operator=(const Mpeg2DataParser&) = delete;

    // IUnknown
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    // IGuideDataEvent, called on the platform's notification thread.
    HRESULT GuideDataAcquired() override;
    HRESULT ProgramChanged(VARIANT programId) override;
    HRESULT ServiceChanged(VARIANT serviceId) override;
    HRESULT ScheduleEntryChanged(VARIANT entryId) override;
    HRESULT ProgramDeleted(VARIANT programId) override;
    HRESULT ServiceDeleted(VARIANT serviceId) override;
    HRESULT ScheduleDeleted(VARIANT entryId) override;

    // Keeps the section source offered by the first object (none when it offers none) and a
    // reference to the guide-data source (the transport information filter), which may be none.
    void set_sources(IUnknown* sectionSourceObject, IUnknown* guideDataSource);
    // Subscribes to the guide-data source's notices.
    HRESULT advise_guide_events();
    // Starts the scan thread unless one was started for this parser.
    void startMpeg2DataScan();
    // Waits for the scan thread: WAIT_OBJECT_0 when it is done, WAIT_TIMEOUT when a wait
    // ended with no thread working. A thread still working is waited for again.
    DWORD wait_scan_done();

    // Test hooks: ServiceChanged calls beforeLock just before it waits for the mutex and
    // afterLock once it holds it, so that a test can make two notices meet there; one wait of
    // wait_scan_done lasts waitStepMs.
    struct Hooks {
        std::function<void()> beforeLock;
        std::function<void()> afterLock;
        DWORD waitStepMs = 15000;
    };
    void setHooks(Hooks hooks) { m_hooks = std::move(hooks); }

    // Records.
    Transponder* current_transponder() const { return m_currentTransponder; }
    const std::list<Transponder>& transponders() const { return m_transponders; }
    Service* find_service(Transponder* tp, int32_t service_id);
    Transponder* find_transponder(int32_t transport_stream_id);
    Transponder* alloc_transponder(int32_t transport_stream_id);
    Service* alloc_service(Transponder* tp, int32_t service_id);

    // Table requests.
    void add_filter(int32_t pid, int32_t table_id, int64_t timeout);
    const std::deque<std::unique_ptr<SectionFilter>>& filters() const { return m_filters; }
    // Drops the records and the queued requests and makes the parser ready for a new scan
    // thread. Not while a scan thread works.
    void reset_scan();

    // The scan thread's work: queues the requests of the scan type (PAT; NIT and SDT, or VCT)
    // and works the queue off against the section source; PMT requests join the queue as the
    // PAT is read. Without a section source nothing is queued.
    void scan_tables();
    void run_filters();
    HRESULT read_table(SectionFilter& filter);
    void setNetworkNumber(int32_t number) { m_networkNumber = number; }
    int32_t networkNumber() const { return m_networkNumber; }

    // Tables.
    void parse_section(SectionFilter& filter);
    void parse_pat(const uint8_t* body, int length, int32_t transport_stream_id);
    void parse_pmt(const uint8_t* body, int length, int32_t program_number);
    void parse_nit(const uint8_t* body, int length, int32_t network_id);
    void parse_sdt(const uint8_t* body, int length, int32_t transport_stream_id);
    void parse_vct(const uint8_t* section, size_t size);

    // Channel list: entries of the current transponder's named services, appended to list.
    int getDVBTListofChannels(int32_t frequency, std::vector<std::wstring>& list);
    int getATSCListofChannels(int32_t frequency, std::vector<std::wstring>& list);

private:
    // Descriptor loops (Mpeg2DataParserDescriptors.cpp): rest runs from the loop's start to the
    // end of the table body, length is the loop length the table states.
    void parse_nit_descriptors(ByteReader rest, size_t length, Transponder* tp);
    void parse_sdt_descriptors(ByteReader rest, size_t length, Service* service);
    static bool find_stream_descriptor(ByteReader rest, size_t length, uint8_t tag);
    void parse_audio_language(ByteReader rest, size_t length, Service* service, int index);
    void parse_network_name(ByteReader payload, Transponder* tp);
    void parse_terrestrial_delivery(ByteReader payload, Transponder* tp);
    void parse_frequency_list(ByteReader payload, Transponder* tp);
    void parse_logical_channels(ByteReader payload, Transponder* tp);
    void parse_service_descriptor(ByteReader payload, Service* service);
    void logNetworkLines(const Transponder& tp);

    int32_t StartMpeg2DataScanThread(void*);
    // With the mutex held and the started flag clear.
    void startScanThread();
    void signalScanningDone();

    ComPtr<IMpeg2Data> m_sectionSource;
    // ScanningDone: a manual-reset event, with running guarded by its lock where the two are
    // read together.
    std::mutex m_doneLock;
    std::condition_variable m_doneSignal;
    bool m_scanningDone = false;
    int32_t m_networkNumber = 0;
    bool m_started = false;  // under m_mutex
    std::atomic<bool> m_running{false};
    int32_t m_scanType;
    Transponder* m_currentTransponder = nullptr;
    std::list<Transponder> m_transponders;
    std::deque<std::unique_ptr<SectionFilter>> m_filters;
    // A mutex whose waits may be bounded, made of a lock and a condition, which every thread
    // checker follows (a timed lock of the C library is not seen by all of them).
    class StartMutex {
    public:
        void lock() {
            std::unique_lock<std::mutex> guard(m_lock);
            m_free.wait(guard, [this] { return !m_held; });
            m_held = true;
        }
        bool try_lock_for(std::chrono::milliseconds wait) {
            std::unique_lock<std::mutex> guard(m_lock);
            if (!m_free.wait_for(guard, wait, [this] { return !m_held; })) return false;
            m_held = true;
            return true;
        }
        void unlock() {
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_held = false;
            }
            m_free.notify_one();
        }

    private:
        std::mutex m_lock;
        std::condition_variable m_free;
        bool m_held = false;
    };
    StartMutex m_mutex;  // guards the start of the scan thread
    ComPtr<IUnknown> m_guideDataSource;
    DWORD m_adviseCookie = 0;
    ComPtr<IConnectionPoint> m_connectionPoint;
    std::atomic<int32_t> m_refCount{0};
    Hooks m_hooks;
};
