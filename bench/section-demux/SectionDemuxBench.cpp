// The PAT, NIT and SDT of a whole capture held in memory: reassembled from the packets,
// CRC-checked and parsed into records, by our demultiplexer and parser and by libdvbpsi.
//   bench_section_demux [capture.ts]   (default: the Italian multiplex of the corpus)
#include <benchmark/benchmark.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/pat.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/sdt.h>
}

#include "platform/mpeg2data/SectionList.h"
#include "platform/mpeg2data/TsDemux.h"
#include "scan/Mpeg2DataParser.h"

namespace {
std::string g_path = std::string(SKYVANE_CORPUS_DIR) + "/ts/dvbt_it_rai_muxA_498MHz.ts";

const std::vector<uint8_t>& capture() {
    static const std::vector<uint8_t> bytes = [] {
        std::ifstream in(g_path, std::ios::binary);
        return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }();
    return bytes;
}

void BM_SkyvaneDemuxAndParser(benchmark::State& state) {
    const auto& ts = capture();
    if (ts.empty()) {
        state.SkipWithError("capture not found");
        return;
    }
    size_t tables = 0;
    for (auto _ : state) {
        Mpeg2DataParser parser(Mpeg2DataParser::SCAN_DVBT);
        std::map<int, SectionFilter> filters;  // by PID
        std::vector<uint8_t> host;
        TsDemux demux([&](uint16_t pid, const uint8_t* s, size_t n) {
            SectionFilter& f = filters[pid];
            f.pid = pid;
            f.table_id = pid == 0 ? 0x00 : pid == 0x10 ? 0x40 : 0x42;
            host.assign(s, s + n);
            SectionList::toHostHeader(host);
            f.section = host.data();
            f.section_size = host.size();
            parser.parse_section(f);
            ++tables;
        });
        for (uint16_t pid : {0x0000, 0x0010, 0x0011}) demux.addPid(pid);
        demux.feed(ts.data(), ts.size());
        benchmark::DoNotOptimize(parser.transponders().size());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ts.size()));
    state.counters["sections"] = benchmark::Counter(static_cast<double>(tables) / state.iterations());
}
BENCHMARK(BM_SkyvaneDemuxAndParser)->Unit(benchmark::kMillisecond);

// libdvbpsi: one handle per PID, PAT decoder on 0, NIT and SDT decoders behind the table
// demultiplexer on 0x10 and 0x11.
struct DvbpsiCounts {
    size_t tables = 0;
};
void onPat(void* data, dvbpsi_pat_t* pat) {
    ++static_cast<DvbpsiCounts*>(data)->tables;
    dvbpsi_pat_delete(pat);
}
void onNit(void* data, dvbpsi_nit_t* nit) {
    ++static_cast<DvbpsiCounts*>(data)->tables;
    dvbpsi_nit_delete(nit);
}
void onSdt(void* data, dvbpsi_sdt_t* sdt) {
    ++static_cast<DvbpsiCounts*>(data)->tables;
    dvbpsi_sdt_delete(sdt);
}
void newSubtable(dvbpsi_t* h, uint8_t tableId, uint16_t extension, void* data) {
    if (tableId == 0x40) dvbpsi_nit_attach(h, tableId, extension, onNit, data);
    if (tableId == 0x42) dvbpsi_sdt_attach(h, tableId, extension, onSdt, data);
}
void quiet(dvbpsi_t*, const dvbpsi_msg_level_t, const char*) {}

void BM_Libdvbpsi(benchmark::State& state) {
    const auto& ts = capture();
    if (ts.empty()) {
        state.SkipWithError("capture not found");
        return;
    }
    DvbpsiCounts counts;
    for (auto _ : state) {
        dvbpsi_t* pat = dvbpsi_new(quiet, DVBPSI_MSG_NONE);
        dvbpsi_t* nit = dvbpsi_new(quiet, DVBPSI_MSG_NONE);
        dvbpsi_t* sdt = dvbpsi_new(quiet, DVBPSI_MSG_NONE);
        dvbpsi_pat_attach(pat, onPat, &counts);
        dvbpsi_AttachDemux(nit, newSubtable, &counts);
        dvbpsi_AttachDemux(sdt, newSubtable, &counts);
        std::vector<uint8_t> packet(188);
        for (size_t pos = 0; pos + 188 <= ts.size(); pos += 188) {
            const uint8_t* p = ts.data() + pos;
            const int pid = ((p[1] & 0x1F) << 8) | p[2];
            dvbpsi_t* h = pid == 0 ? pat : pid == 0x10 ? nit : pid == 0x11 ? sdt : nullptr;
            if (!h) continue;
            packet.assign(p, p + 188);
            dvbpsi_packet_push(h, packet.data());
        }
        dvbpsi_pat_detach(pat);
        dvbpsi_DetachDemux(nit);
        dvbpsi_DetachDemux(sdt);
        dvbpsi_delete(pat);
        dvbpsi_delete(nit);
        dvbpsi_delete(sdt);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * ts.size()));
    state.counters["tables"] = benchmark::Counter(static_cast<double>(counts.tables) / state.iterations());
}
BENCHMARK(BM_Libdvbpsi)->Unit(benchmark::kMillisecond);
}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) g_path = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
