// Reads the PSI/SI tables of one tuned multiplex into transponder and service records.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "base/ByteReader.h"
#include "platform/mpeg2data/Mpeg2Data.h"
#include "scan/Mpeg2Records.h"

// One parser serves one frequency: the table requests (section filters) are queued, worked
// off against the section source, and every section is parsed into the records, which are
// read out at the end as a channel list. DVB-T reads PAT, NIT, SDT and the PMTs; ATSC reads
// PAT, the terrestrial VCT and the PMTs.
class Mpeg2DataParser {
public:
    enum ScanType : int32_t { SCAN_OTHER = 0, SCAN_ATSC = 1, SCAN_DVBT = 2 };

    explicit Mpeg2DataParser(int32_t scanType);
    virtual ~Mpeg2DataParser();
    Mpeg2DataParser(const Mpeg2DataParser&) = delete;
    Mpeg2DataParser& operator=(const Mpeg2DataParser&) = delete;

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
    // Drops the records and the queued requests.
    void reset_scan();

    // Queues the requests of the scan type (PAT; NIT and SDT, or VCT) and works the queue
    // off against the section source; PMT requests join the queue as the PAT is read.
    void scan_tables();
    void run_filters();
    HRESULT read_table(SectionFilter& filter);
    // Keeps the section source offered by the given object (none when it offers none).
    void set_section_source(IUnknown* sourceObject);
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

    ComPtr<IMpeg2Data> m_sectionSource;
    int32_t m_networkNumber = 0;
    int32_t m_scanType;
    Transponder* m_currentTransponder = nullptr;
    std::list<Transponder> m_transponders;
    std::deque<std::unique_ptr<SectionFilter>> m_filters;
};
