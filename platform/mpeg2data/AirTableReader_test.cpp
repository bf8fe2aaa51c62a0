// The section source over the air: tables of the demo multiplexes and of real captures, read
// from the tuned stream as it plays, against what the recording itself holds; timeouts in
// broadcast time; damaged sections on the air.
#include "platform/mpeg2data/AirTableReader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/mpeg2data/AirSectionsFilter.h"
#include "platform/mpeg2data/AirTestSupport.h"
#include "platform/mpeg2data/SectionTestUtil.h"
#include "platform/mpeg2data/TsFileMpeg2Data.h"

using namespace sectiontest;

namespace {

constexpr double kSpeed = 10;

// The sections of a list, as handed over (header words in host order).
std::vector<Bytes> sectionsOf(ISectionList* list) {
    std::vector<Bytes> out;
    WORD count = 0;
    EXPECT_EQ(S_OK, list->GetNumberOfSections(&count));
    for (WORD i = 0; i < count; ++i) {
        DWORD size = 0;
        SECTION* section = nullptr;
        EXPECT_EQ(S_OK, list->GetSectionData(i, &size, &section));
        const uint8_t* p = reinterpret_cast<const uint8_t*>(section);
        out.emplace_back(p, p + size);
    }
    return out;
}

// The table as the recording holds it, or nothing when it has none.
std::vector<Bytes> fromFile(const std::string& path, PID pid, TID tid) {
    ComPtr<TsFileMpeg2Data> file;
    file.Attach(CreateComObject<TsFileMpeg2Data>(readFile(path)));
    ComPtr<ISectionList> list;
    if (file->GetTable(pid, tid, nullptr, 5000, &list) != S_OK) return {};
    return sectionsOf(list.Get());
}

// Programme number -> PMT PID from a PAT as handed over.
std::vector<std::pair<int, int>> programmes(const std::vector<Bytes>& pat) {
    std::vector<std::pair<int, int>> out;
    for (const Bytes& s : pat) {
        const size_t length = s[1] | ((s[2] & 0x0F) << 8);
        for (size_t at = 8; at + 4 <= length + 3 - 4; at += 4) {
            const int number = (s[at] << 8) | s[at + 1];
            if (number != 0) out.emplace_back(number, ((s[at + 2] & 0x1F) << 8) | s[at + 3]);
        }
    }
    return out;
}

class AirTables : public AirGraphTest {};

TEST_F(AirTables, EveryDemoMultiplexCarriesTheTablesOfItsRecording) {
    openAir(kSpeed);
    for (const AirMultiplex& m : air->catalogue().multiplexes()) {
        if (m.system == AirSystem::Analog) continue;
        SCOPED_TRACE(m.file);
        ASSERT_NO_FATAL_FAILURE(buildGraph(m.system));
        ASSERT_NO_FATAL_FAILURE(tune(m));
        ComPtr<IMpeg2Data> source = sectionSource();
        ASSERT_TRUE(source);

        ComPtr<ISectionList> list;
        ASSERT_EQ(S_OK, source->GetTable(0x0000, 0x00, nullptr, 5000, &list));
        const std::vector<Bytes> pat = sectionsOf(list.Get());
        EXPECT_EQ(pat, fromFile(m.file, 0x0000, 0x00));
        // Header words in host order: the extension's low byte first.
        ASSERT_FALSE(pat.empty());
        EXPECT_EQ(m.transportStreamId, pat[0][3] | (pat[0][4] << 8));
        std::set<int> numbers;
        for (auto [number, pmtPid] : programmes(pat)) {
            numbers.insert(number);
            ASSERT_EQ(S_OK, source->GetTable(static_cast<PID>(pmtPid), 0x02, nullptr, 5000, &list));
            EXPECT_EQ(sectionsOf(list.Get()), fromFile(m.file, static_cast<PID>(pmtPid), 0x02));
        }
        std::set<int> declared;
        for (const AirService& s : m.services) declared.insert(s.serviceId);
        EXPECT_EQ(declared, numbers);

        if (m.system == AirSystem::ATSC) {
            ASSERT_EQ(S_OK, source->GetTable(0x1FFB, 0xC8, nullptr, 5000, &list));
            EXPECT_EQ(sectionsOf(list.Get()), fromFile(m.file, 0x1FFB, 0xC8));
            continue;
        }
        ASSERT_EQ(S_OK, source->GetTable(0x0011, 0x42, nullptr, 5000, &list));
        EXPECT_EQ(sectionsOf(list.Get()), fromFile(m.file, 0x0011, 0x42));
        if (m.nit) {
            ASSERT_EQ(S_OK, source->GetTable(0x0010, 0x40, nullptr, 15000, &list));
            EXPECT_EQ(sectionsOf(list.Get()), fromFile(m.file, 0x0010, 0x40));
        }
    }
}

TEST_F(AirTables, AnAbsentTableTimesOutAfterItsTimeInBroadcastTime) {
    openAir(40);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    const AirMultiplex* local = air->catalogue().findDvbt(706000, 8);
    ASSERT_TRUE(local && !local->nit);
    ASSERT_NO_FATAL_FAILURE(tune(*local));
    ComPtr<IMpeg2Data> source = sectionSource();
    // Something the multiplex carries comes first, so the stream is known to play.
    ComPtr<ISectionList> list;
    ASSERT_EQ(S_OK, source->GetTable(0x0000, 0x00, nullptr, 5000, &list));

    std::shared_ptr<AirStream> stream = tunerOf(AirSystem::DVBT)->stream();
    ASSERT_TRUE(stream);
    const double before = stream->reachedMs();
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, source->GetTable(0x0010, 0x40, nullptr, 15000, &list));
    EXPECT_FALSE(list);
    EXPECT_GE(stream->reachedMs() - before, 15000.0);
    // A table id that is not on a PID that is.
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, source->GetTable(0x0011, 0x46, nullptr, 2000, &list));
}

TEST_F(AirTables, NothingReceivedIsATimeout) {
    openAir(40);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    ASSERT_EQ(S_OK, tunerOf(AirSystem::DVBT)->tuneDvbt(500000, 8));
    ComPtr<ISectionList> list;
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, sectionSource()->GetTable(0x0000, 0x00, nullptr, 2000, &list));
    EXPECT_FALSE(list);
}

TEST_F(AirTables, RequestsThatCannotBeAnsweredAreRefused) {
    openAir(kSpeed);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    ComPtr<IMpeg2Data> source = sectionSource();
    ComPtr<ISectionList> list;
    EXPECT_EQ(E_POINTER, source->GetTable(0, 0, nullptr, 10, nullptr));
    EXPECT_EQ(E_INVALIDARG, source->GetTable(0x2000, 0, nullptr, 10, &list));
    int filter = 0;
    EXPECT_EQ(E_NOTIMPL, source->GetTable(0, 0, reinterpret_cast<MPEG2_FILTER*>(&filter), 10, &list));
}

// A stream of the given packets, looped at a constant rate.
std::shared_ptr<AirStream> playing(const Bytes& ts, double speed) {
    std::string error;
    auto clip = AirClip::fromBytes(ts, 1000000, error);
    EXPECT_TRUE(clip) << error;
    return clip ? std::make_shared<AirStream>(clip, speed, 0, 0) : nullptr;
}

TEST(AirTableReader, DamagedSectionsOnTheAirAreSkipped) {
    const Bytes good = makeSection(0x42, 0x1004, 3, 0, 0, {0x22, 0xD4, 0xFF, 0x10, 0x44, 0xFC, 0x80, 0x00});
    Bytes badCrc = good;
    badCrc[10] ^= 0x01;
    Bytes tooLong = good;
    tooLong[1] |= 0x0F;  // section_length far past the data
    // Damage first in each pass, then the good copy; a packet with the error flag on the same PID.
    Bytes ts = packetise(0x11, {badCrc}, 0);
    Bytes more = packetise(0x11, {tooLong}, 1);
    ts.insert(ts.end(), more.begin(), more.end());
    Bytes flagged = makePacket(0x11, 2, true, good, 0, true);
    ts.insert(ts.end(), flagged.begin(), flagged.end());
    more = packetise(0x11, {good}, 3);
    ts.insert(ts.end(), more.begin(), more.end());
    for (int cc = 4; cc < 40; ++cc) {  // something else between the passes
        Bytes filler = makePacket(0x100, cc, false, {});
        ts.insert(ts.end(), filler.begin(), filler.end());
    }

    std::shared_ptr<AirStream> stream = playing(ts, 20);
    ASSERT_TRUE(stream);
    AirTableReader reader([stream] { return stream; }, [] { return 20.0; });
    std::vector<Bytes> sections;
    // Each request joins the looping stream wherever it is; one that joins between the damage
    // and the good copy sees no damage, so requests are repeated until the damage has been
    // seen (each pass carries it, and a request that joins anywhere else meets it first).
    for (int i = 0; i < 12 && (reader.stats().crcErrors == 0 || reader.stats().transportErrors == 0); ++i) {
        ASSERT_EQ(0, reader.collect(0x11, 0x42, 5000, &sections));
        ASSERT_EQ(1u, sections.size());
        EXPECT_EQ(good, sections[0]);
    }
    EXPECT_GT(reader.stats().crcErrors, 0u);
    EXPECT_GT(reader.stats().transportErrors, 0u);

    // Where only damage is sent, the request times out.
    std::shared_ptr<AirStream> damaged = playing(packetise(0x11, {badCrc, badCrc}), 40);
    AirTableReader none([damaged] { return damaged; }, [] { return 40.0; });
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, none.collect(0x11, 0x42, 3000, &sections));
    EXPECT_TRUE(sections.empty());
}

TEST(AirTableReader, ARequestFollowsTheStreamToTheNextMultiplex) {
    const Bytes first = makeSection(0x00, 1, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00});
    const Bytes second = makeSection(0x00, 2, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00});
    std::shared_ptr<AirStream> a = playing(packetise(0x00, {first}), 20);
    std::shared_ptr<AirStream> b = playing(packetise(0x00, {second}), 20);
    std::atomic<int> calls{0};
    // The first stream ends as a retune ends it; from then on the source hands out the second.
    AirTableReader reader(
        [&]() -> std::shared_ptr<AirStream> {
            if (++calls == 1) {
                a->stop(AirEndReason::Retuned);
                return a;
            }
            return b;
        },
        [] { return 20.0; });
    std::vector<Bytes> sections;
    ASSERT_EQ(0, reader.collect(0x00, 0x00, 5000, &sections));
    ASSERT_EQ(1u, sections.size());
    EXPECT_EQ(second, sections[0]);
}

TEST(AirTableReader, TablesAskedForInTurnShareOneReadingOfTheStream) {
    const Bytes nit0 = makeSection(0x40, 0x3001, 0, 0, 1, {0xF0, 0x00, 0xF0, 0x00});
    const Bytes nit1 = makeSection(0x40, 0x3001, 0, 1, 1, {0xF0, 0x00, 0xF0, 0x00});
    // Programmes 1 and 2 share PMT PID 0x100.
    const Bytes pat = makeSection(0x00, 0x1004, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00, 0x00, 0x02, 0xE1, 0x00});
    const Bytes pmt1 = makeSection(0x02, 1, 0, 0, 0, {0xE1, 0x01, 0xF0, 0x00});
    const Bytes pmt2 = makeSection(0x02, 2, 0, 0, 0, {0xE1, 0x02, 0xF0, 0x00});
    auto sdtOf = [](uint16_t tsid) { return makeSection(0x42, tsid, 0, 0, 0, {0x22, 0xD4, 0xFF}); };
    auto multiplex = [&](uint16_t tsid) {
        Bytes ts = packetise(0x10, {nit0, nit1}, 0);
        for (auto part : {packetise(0x00, {pat}, 0), packetise(0x100, {pmt1, pmt2}, 0),
                          packetise(0x11, {sdtOf(tsid)}, 0)})
            ts.insert(ts.end(), part.begin(), part.end());
        for (int cc = 0; cc < 16; ++cc) {
            Bytes filler = makePacket(0x200, cc, false, {});
            ts.insert(ts.end(), filler.begin(), filler.end());
        }
        return ts;
    };
    std::shared_ptr<AirStream> a = playing(multiplex(0x1004), 20), b = playing(multiplex(0x1005), 20);
    ASSERT_TRUE(a && b);
    std::shared_ptr<AirStream> tuned = a;
    AirTableReader reader([&] { return tuned; }, [] { return 20.0; });
    std::vector<Bytes> sections;

    // The NIT is answered when it comes round again: the reading has gone past every other table.
    ASSERT_EQ(0, reader.collect(0x10, 0x40, 5000, &sections));
    EXPECT_EQ((std::vector<Bytes>{nit0, nit1}), sections);
    const uint64_t packets = reader.stats().packets;
    ASSERT_GT(packets, 0u);
    // So the PAT, the PMTs of both programmes on their PID and the SDT need nothing more read.
    ASSERT_EQ(0, reader.collect(0x00, 0x00, 5000, &sections));
    EXPECT_EQ(std::vector<Bytes>{pat}, sections);
    ASSERT_EQ(0, reader.collect(0x100, 0x02, 5000, &sections));
    EXPECT_EQ((std::vector<Bytes>{pmt1, pmt2}), sections);
    ASSERT_EQ(0, reader.collect(0x11, 0x42, 5000, &sections));
    EXPECT_EQ(std::vector<Bytes>{sdtOf(0x1004)}, sections);
    EXPECT_EQ(packets, reader.stats().packets);

    // What was kept is of the multiplex it came from: after a retune the SDT is the new one's.
    ASSERT_EQ(0, reader.collect(0x10, 0x40, 5000, &sections));
    tuned = b;
    a->stop(AirEndReason::Retuned);
    ASSERT_EQ(0, reader.collect(0x11, 0x42, 5000, &sections));
    EXPECT_EQ(std::vector<Bytes>{sdtOf(0x1005)}, sections);
    EXPECT_GT(reader.stats().packets, packets);
}

TEST(AirTableReader, AReadingBegunAtTheStartOfAStreamAnswersFromWhatPassedBeforeTheRequest) {
    const Bytes nit = makeSection(0x40, 0x3001, 0, 0, 0, {0xF0, 0x00, 0xF0, 0x00});
    Bytes ts = packetise(0x10, {nit});
    for (int cc = 0; cc < 8; ++cc) {
        Bytes filler = makePacket(0x200, cc, false, {});
        ts.insert(ts.end(), filler.begin(), filler.end());
    }
    // At real speed the reader's buffer holds far more than a starved test thread lets pass.
    std::shared_ptr<AirStream> stream = playing(ts, 1);
    ASSERT_TRUE(stream);
    AirTableReader reader([stream] { return stream; }, [] { return 1.0; });
    reader.watch(stream);
    // Several passes of the loop go by; then the stream ends, as a retune ends it. A request
    // that began only now would find nothing more on it.
    for (int i = 0; i < 20000 && stream->reachedMs() < 100; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_GE(stream->reachedMs(), 100);
    stream->stop(AirEndReason::Retuned);
    std::vector<Bytes> sections;
    ASSERT_EQ(0, reader.collect(0x10, 0x40, 5000, &sections));
    EXPECT_EQ(std::vector<Bytes>{nit}, sections);
}

}  // namespace

// Real captures as the air plays them: each table read from the stream is the table the
// recording holds. The captures with reception errors and the damaged one are among them.
TEST_F(AirTables, RealCapturesPlayedAsAirCarryTheirOwnTables) {
    const std::string corpus = std::string(SKYVANE_CORPUS_DIR) + "/ts/";
    const char* captures[] = {"dvbt_it_rai_muxA_498MHz.ts", "dvbt_gr_ert_474MHz_rx_errors.ts",
                              "dvbt_cz_ct_mux1_730MHz.ts", "broken_dvbs_corrupted_psi.ts"};
    if (!fileExists(corpus + captures[0])) GTEST_SKIP() << "real captures not found in " << corpus;
    std::string catalogue = captureCatalogue(
        corpus, {{498000, captures[0]}, {474000, captures[1]}, {730000, captures[2]}, {602000, captures[3]}});
    openAir(kSpeed, catalogue);
    ASSERT_NO_FATAL_FAILURE(buildGraph(AirSystem::DVBT));
    for (const AirMultiplex& m : air->catalogue().multiplexes()) {
        SCOPED_TRACE(m.file);
        ASSERT_NO_FATAL_FAILURE(tune(m));
        ComPtr<IMpeg2Data> source = sectionSource();
        for (auto [pid, tid] : {std::pair<PID, TID>{0x0000, 0x00}, {0x0011, 0x42}, {0x0010, 0x40}}) {
            const std::vector<Bytes> want = fromFile(m.file, pid, tid);
            ComPtr<ISectionList> list;
            const HRESULT hr = source->GetTable(pid, tid, nullptr, 5000, &list);
            if (want.empty()) {
                EXPECT_EQ(MPEG2DATA_E_TIMEOUT, hr) << pid;
            } else {
                ASSERT_EQ(S_OK, hr) << pid;
                EXPECT_EQ(want, sectionsOf(list.Get())) << pid;
            }
        }
    }
}
