#include "platform/mpeg2data/TsFileMpeg2Data.h"

#include <cstdio>
#include <memory>

#include "platform/mpeg2data/SectionList.h"
#include "platform/mpeg2data/SectionTableCollector.h"

TsFileMpeg2Data::TsFileMpeg2Data(std::string path) : m_path(std::move(path)), m_fromFile(true) {}

TsFileMpeg2Data::TsFileMpeg2Data(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)), m_fromFile(false) {}

namespace {
void addStats(TsDemux::Stats& total, const TsDemux::Stats& s) {
    total.packets += s.packets;
    total.syncLosses += s.syncLosses;
    total.transportErrors += s.transportErrors;
    total.continuityErrors += s.continuityErrors;
    total.sections += s.sections;
    total.crcErrors += s.crcErrors;
    total.droppedSections += s.droppedSections;
}
}  // namespace

HRESULT TsFileMpeg2Data::GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD, ISectionList** list) {
    if (!list) return E_POINTER;
    *list = nullptr;
    if (filter) return E_NOTIMPL;
    if (pid > 0x1FFF) return E_INVALIDARG;

    SectionTableCollector collector(pid, tid);
    TsDemux demux([&collector](uint16_t p, const uint8_t* s, size_t n) { collector.offer(p, s, n); });
    demux.addPid(pid);

    if (m_fromFile) {
        std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(m_path.c_str(), "rb"), &std::fclose);
        if (!f) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        std::vector<uint8_t> chunk(64 * 1024);
        size_t n;
        while (!collector.done() && (n = std::fread(chunk.data(), 1, chunk.size(), f.get())) > 0) {
            demux.feed(chunk.data(), n);
        }
    } else {
        // In steps, so a request answered early does not read the rest.
        const size_t step = 64 * TsDemux::kPacketSize;
        for (size_t pos = 0; pos < m_bytes.size() && !collector.done(); pos += step) {
            size_t n = m_bytes.size() - pos < step ? m_bytes.size() - pos : step;
            demux.feed(m_bytes.data() + pos, n);
        }
    }
    addStats(m_stats, demux.stats());
    if (!collector.finish()) return MPEG2DATA_E_TIMEOUT;

    *list = CreateComObject<SectionList>(collector.sections());
    return S_OK;
}
