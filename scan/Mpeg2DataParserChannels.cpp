// The channel list of the tuned multiplex.
#include "scan/Mpeg2DataParser.h"

#include "base/Log.h"
#include "base/Text.h"

namespace {
const char* text(const std::optional<std::string>& s) {
    return s ? s->c_str() : "(null)";
}

bool named(const Service& s) {
    return s.service_name && !s.service_name->empty();
}

std::wstring nameOf(const Service& s) {
    return NarrowToWide(*s.service_name);
}
}  // namespace

void Mpeg2DataParser::logNetworkLines(const Transponder& tp) {
    info(L"Network_%i(\"%S\", %i, %i, 1)", m_networkNumber, text(tp.network_name), tp.frequency,
         tp.bandwidth);
    const int count = static_cast<int>(tp.alternate_frequencies.size());
    if (tp.alternate_frequency_count > 0 && count > 0) {
        info(L"#Alternate %s", count == 1 ? L"frequency" : L"frequencies");
        for (int32_t f : tp.alternate_frequencies) {
            info(L"#Network_%i(\"%S\", %i, %i, 1)", m_networkNumber, text(tp.network_name), f, tp.bandwidth);
        }
    }
}

int Mpeg2DataParser::getDVBTListofChannels(int32_t frequency, std::vector<std::wstring>& list) {
    const Transponder* tp = m_currentTransponder;
    if (!tp) return 0;
    logNetworkLines(*tp);
    info(L"Nb services for this netwoRk %d", static_cast<int>(tp->services.size()));
    for (const Service& s : tp->services) {
        if (!named(s)) continue;
        std::wstring entry = std::to_wstring(frequency) + L"/" + std::to_wstring(tp->bandwidth) + L"/" +
                             std::to_wstring(tp->original_network_id) + L"/" +
                             std::to_wstring(tp->transport_stream_id) + L"/" + std::to_wstring(s.service_id) +
                             L"/" + nameOf(s);
        info(L"Found service %s\n", entry.c_str());
        list.push_back(std::move(entry));
    }
    return 0;
}

int Mpeg2DataParser::getATSCListofChannels(int32_t frequency, std::vector<std::wstring>& list) {
    const Transponder* tp = m_currentTransponder;
    if (!tp) {
        info(L"getATSCListofChannels no channels for %d", frequency);
        return 0;
    }
    logNetworkLines(*tp);
    for (const Service& s : tp->services) {
        if (!named(s)) continue;
        std::wstring entry = std::to_wstring(frequency) + L"/" + std::to_wstring(s.major_channel_number) +
                             L"/" + std::to_wstring(s.minor_channel_number) + L"/" + nameOf(s);
        info(L"Found service %s", entry.c_str());
        list.push_back(std::move(entry));
    }
    return 0;
}
