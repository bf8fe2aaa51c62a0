#include "platform/mpeg2data/SectionTableCollector.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/mpeg2data/SectionList.h"
#include "platform/mpeg2data/SectionTestUtil.h"
#include "platform/mpeg2data/TsFileMpeg2Data.h"

using namespace sectiontest;

namespace {
bool offer(SectionTableCollector& c, uint16_t pid, const Bytes& s) {
    return c.offer(pid, s.data(), s.size());
}
}  // namespace

TEST(SectionTableCollector, AnswersWhenTheCarouselComesRound) {
    const Bytes s0 = makeSection(0x40, 0x3001, 4, 0, 1, {0xF0, 0x00});
    const Bytes s1 = makeSection(0x40, 0x3001, 4, 1, 1, {0xF0, 0x00});
    SectionTableCollector c(0x10, 0x40);
    EXPECT_FALSE(offer(c, 0x10, s1));
    EXPECT_FALSE(offer(c, 0x11, s0));                                      // other PID
    EXPECT_FALSE(offer(c, 0x10, makeSection(0x41, 0x3001, 4, 0, 1, {})));  // other table
    EXPECT_FALSE(offer(c, 0x10, s0));                                      // complete, not yet answered
    EXPECT_TRUE(offer(c, 0x10, s1));
    ASSERT_EQ(c.sections().size(), 2u);
    EXPECT_EQ(c.sections()[0], s0);  // in section_number order
    EXPECT_EQ(c.sections()[1], s1);
}

TEST(SectionTableCollector, AnswersOnceEveryExpectedExtensionIsComplete) {
    // The PMTs of programmes 1 and 2, which the PAT maps to one PID.
    const Bytes a = makeSection(0x02, 1, 0, 0, 0, {0xE1, 0x00, 0xF0, 0x00});
    const Bytes b0 = makeSection(0x02, 2, 0, 0, 1, {0xE1, 0x00, 0xF0, 0x00});
    const Bytes b1 = makeSection(0x02, 2, 0, 1, 1, {0xE1, 0x00, 0xF0, 0x00});
    SectionTableCollector c(0x100, 0x02);
    c.expect({1, 2});
    EXPECT_FALSE(offer(c, 0x100, a));
    EXPECT_FALSE(offer(c, 0x100, b1));
    EXPECT_TRUE(offer(c, 0x100, b0));
    EXPECT_EQ((std::vector<Bytes>{a, b0, b1}), c.sections());

    // Known only once the tables are in: answered at once.
    SectionTableCollector late(0x100, 0x02);
    offer(late, 0x100, a);
    late.expect({2});
    EXPECT_FALSE(late.done());
    late.expect({1});
    EXPECT_TRUE(late.done());
    EXPECT_EQ(std::vector<Bytes>{a}, late.sections());
}

TEST(SectionTableCollector, KeepsEveryExtensionCompleteBeforeTheRepeat) {
    // Two networks on one PID, or the PMTs of two programmes sharing a PID.
    const Bytes a = makeSection(0x02, 1, 0, 0, 0, {0xE1, 0x00, 0xF0, 0x00});
    const Bytes b = makeSection(0x02, 2, 0, 0, 0, {0xE1, 0x00, 0xF0, 0x00});
    SectionTableCollector c(0x100, 0x02);
    offer(c, 0x100, a);
    offer(c, 0x100, b);
    EXPECT_TRUE(offer(c, 0x100, a));
    ASSERT_EQ(c.sections().size(), 2u);
    EXPECT_EQ(c.sections()[1], b);
}

TEST(SectionTableCollector, VersionChangeStartsTheTableAgain) {
    SectionTableCollector c(0, 0);
    offer(c, 0, makeSection(0, 1, 1, 0, 1, {}));
    const Bytes v2s0 = makeSection(0, 1, 2, 0, 1, {});
    const Bytes v2s1 = makeSection(0, 1, 2, 1, 1, {});
    offer(c, 0, v2s1);
    offer(c, 0, v2s0);
    EXPECT_TRUE(c.finish());
    ASSERT_EQ(c.sections().size(), 2u);
    EXPECT_EQ(c.sections()[0], v2s0);
}

TEST(SectionTableCollector, IncompleteTableIsNoAnswer) {
    SectionTableCollector c(0x11, 0x42);
    offer(c, 0x11, makeSection(0x42, 7, 0, 0, 2, {}));
    offer(c, 0x11, makeSection(0x42, 7, 0, 5, 2, {}));  // number past last: ignored
    offer(c, 0x11, Bytes{0x42, 0xB0});                  // too short to read
    EXPECT_FALSE(c.finish());
    EXPECT_TRUE(c.sections().empty());
}

TEST(TsFileMpeg2Data, HandsOverSectionsWithHeaderWordsInHostOrder) {
    const Bytes pat = makeSection(0x00, 0x1234, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00});
    Bytes ts = packetise(0, {pat});
    Bytes again = packetise(0, {pat}, 1);
    ts.insert(ts.end(), again.begin(), again.end());
    ComPtr<TsFileMpeg2Data> source;
    source.Attach(CreateComObject<TsFileMpeg2Data>(ts));

    ComPtr<ISectionList> list;
    ASSERT_EQ(source->GetTable(0, 0x00, nullptr, 5000, &list), S_OK);
    WORD count = 0;
    ASSERT_EQ(list->GetNumberOfSections(&count), S_OK);
    ASSERT_EQ(count, 1);
    DWORD size = 0;
    SECTION* section = nullptr;
    ASSERT_EQ(list->GetSectionData(0, &size, &section), S_OK);
    ASSERT_EQ(size, pat.size());
    const uint8_t* b = reinterpret_cast<const uint8_t*>(section);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], pat[2]);  // section_length, low byte first
    EXPECT_EQ(b[2], pat[1]);
    EXPECT_EQ(b[3], 0x34);  // table_id_extension, low byte first
    EXPECT_EQ(b[4], 0x12);
    EXPECT_EQ(section->Header & 0x0FFF, pat.size() - 3);
    EXPECT_EQ(list->GetSectionData(1, &size, &section), E_INVALIDARG);

    EXPECT_EQ(source->GetTable(0x10, 0x40, nullptr, 15000, &list), MPEG2DATA_E_TIMEOUT);
    EXPECT_EQ(list.Get(), nullptr);
}

TEST(TsFileMpeg2Data, TablesAreTakenInTheLongFormOnly) {
    // A PAT with the syntax bit cleared and a CRC that does not match: the long-form check
    // would have caught it, the short form has none.
    Bytes badPat = makeSection(0x00, 1, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00});
    badPat[1] &= 0x7F;
    badPat.back() ^= 0xFF;
    const Bytes tdt = {0x70, 0x70, 0x05, 0xE8, 0x4C, 0x12, 0x00, 0x00};  // time and date: short form
    Bytes ts = packetise(0, {badPat});
    const Bytes tdtPackets = packetise(0x14, {tdt});
    ts.insert(ts.end(), tdtPackets.begin(), tdtPackets.end());
    ComPtr<TsFileMpeg2Data> source;
    source.Attach(CreateComObject<TsFileMpeg2Data>(ts));

    ComPtr<ISectionList> list;
    EXPECT_EQ(source->GetTable(0, 0x00, nullptr, 5000, &list), MPEG2DATA_E_TIMEOUT);
    ASSERT_EQ(source->GetTable(0x14, 0x70, nullptr, 5000, &list), S_OK);
    WORD count = 0;
    list->GetNumberOfSections(&count);
    EXPECT_EQ(count, 1);
}

namespace {
std::string readError(const std::string& path, size_t limit = 1 << 20) {
    std::vector<uint8_t> bytes;
    bool cut = false;
    std::string problem;
    return TsFileMpeg2Data::readRecording(path, limit, &bytes, &cut, &problem) ? "" : problem;
}
}  // namespace

TEST(TsFileMpeg2Data, RecordingsAreRegularFilesOrPipes) {
    EXPECT_EQ(readError("/nonexistent/x.ts"), "No such file or directory");
    EXPECT_EQ(readError("/dev/zero"), "is neither a regular file nor a pipe");
    EXPECT_EQ(readError("/"), "is a directory");

    // A pipe is read to its end, once; a limit cuts it and says so.
    const Bytes ts = packetise(0, {makeSection(0x00, 1, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00})});
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    ASSERT_EQ(write(fds[1], ts.data(), ts.size()), static_cast<ssize_t>(ts.size()));
    close(fds[1]);
    std::vector<uint8_t> bytes;
    bool cut = true;
    std::string problem;
    const std::string path = "/dev/fd/" + std::to_string(fds[0]);
    ASSERT_TRUE(TsFileMpeg2Data::readRecording(path, 100, &bytes, &cut, &problem)) << problem;
    EXPECT_TRUE(cut);
    EXPECT_EQ(bytes, Bytes(ts.begin(), ts.begin() + 100));
    close(fds[0]);
}

TEST(TsFileMpeg2Data, ShapeTellsATransportStreamFromOtherData) {
    Bytes ts;
    for (int i = 0; i < 3; ++i) {
        const Bytes p = packetise(0, {makeSection(0x00, 1, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00})}, i);
        ts.insert(ts.end(), p.begin(), p.end());
    }
    auto shape = [](Bytes b) {
        ComPtr<TsFileMpeg2Data> source;
        source.Attach(CreateComObject<TsFileMpeg2Data>(std::move(b)));
        return source->shape();
    };
    EXPECT_TRUE(shape(ts).isTransportStream());
    EXPECT_EQ(shape(ts).packetSize, 188u);

    // Text with a 'G' (0x47) here and there, and a lone packet at the end of much junk.
    Bytes text(2000, 'a');
    for (size_t i = 0; i < text.size(); i += 150) text[i] = 'G';
    EXPECT_FALSE(shape(text).isTransportStream());
    Bytes junkThenPacket(1000, 0);
    junkThenPacket.insert(junkThenPacket.end(), ts.begin(), ts.begin() + 188);
    EXPECT_FALSE(shape(junkThenPacket).isTransportStream());
    EXPECT_FALSE(shape({}).isTransportStream());
}
