// One section per input, handed to parse_section as the section source hands it over. The
// parser first sees a PAT naming the section's own extension, so PMT and VCT handling is
// reached as well; the log lines are formatted (and dropped) so their arguments are read.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/CBBLog.h"
#include "base/Format.h"
#include "base/Log.h"
#include "scan/Mpeg2DataParser.h"

namespace {
class FormattingSink : public CBBLog {
public:
    FormattingSink() : CBBLog(L"fuzz.log", false, 0) { CBBLog::setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int) override { VFormatWideString(fmt, args); }
};

void feed(Mpeg2DataParser& parser, SectionFilter& filter, const uint8_t* data, size_t size) {
    filter.section = data;
    filter.section_size = size;
    parser.parse_section(filter);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool installed = [] {
        setCurrentLogger(std::make_shared<FormattingSink>());
        return true;
    }();
    (void)installed;
    if (size == 0) return 0;
    // An exact copy, so reading one byte too far is caught.
    std::vector<uint8_t> section(data, data + size);

    const uint8_t ext0 = size > 3 ? data[3] : 0, ext1 = size > 4 ? data[4] : 0;
    for (int32_t type : {Mpeg2DataParser::SCAN_DVBT, Mpeg2DataParser::SCAN_ATSC}) {
        Mpeg2DataParser parser(type);
        // Programmes: the section's extension, 1 and 3, on PIDs 0x100-0x102.
        const uint8_t pat[] = {0x00, 0x15, 0xB0, 0x01, 0x00, 0xC1, 0x00, 0x00, ext1, ext0, 0xE1, 0x00,
                               0x00, 0x01, 0xE1, 0x01, 0x00, 0x03, 0xE1, 0x02, 0,    0,    0,    0};
        SectionFilter patFilter;
        patFilter.table_id = 0x00;
        feed(parser, patFilter, pat, sizeof pat);
        SectionFilter filter;
        filter.pid = 0x100;
        filter.table_id = section[0];
        feed(parser, filter, section.data(), section.size());
        std::vector<std::wstring> list;
        parser.getDVBTListofChannels(474000, list);
        parser.getATSCListofChannels(13, list);
    }
    return 0;
}
