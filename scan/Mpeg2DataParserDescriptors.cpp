// The descriptor loops of the NIT, the SDT and the PMT.
#include "scan/Mpeg2DataParser.h"

#include "base/Log.h"

namespace {
// Calls fn(tag, payload) for each descriptor of a loop until fn returns false. The loop length
// only counts down: a descriptor that starts inside the loop is handed out whole even when its
// length runs past the loop's end, as long as it stays inside the data (rest runs from the
// loop's start to the end of the table body). One that runs past the data ends the loop.
template <class Fn>
void forEachDescriptor(ByteReader rest, size_t loopLength, Fn fn) {
    size_t remaining = loopLength;
    while (remaining > 0) {
        const uint8_t tag = rest.u8();
        const uint8_t length = rest.u8();
        ByteReader payload = rest.sub(length);
        if (rest.error()) return;
        if (!fn(tag, payload)) return;
        const size_t step = 2u + length;
        remaining = step < remaining ? remaining - step : 0;
    }
}

// Ends at the first NUL; control bytes (below 0x20 and 0x80-0x9F, which also select character
// tables) go. Nothing left means no name.
std::optional<std::string> cleanName(ByteReader bytes) {
    std::string name;
    while (bytes.remaining() > 0) {
        const uint8_t c = bytes.u8();
        if (c == 0) break;
        if (c < 0x20 || (c >= 0x80 && c <= 0x9F)) continue;
        name.push_back(static_cast<char>(c));
    }
    if (name.empty()) return std::nullopt;
    return name;
}

const wchar_t* codeRateText(int code) {
    static const wchar_t* const kRates[] = {L"FEC_1_2", L"FEC_2_3", L"FEC_3_4", L"FEC_5_6", L"FEC_7_8"};
    return code >= 0 && code < 5 ? kRates[code] : L"FEC_AUTO";
}

const wchar_t* runningStatusText(int status) {
    static const wchar_t* const kStatus[] = {L"not running", L"starts soon", L"pausing", L"running"};
    return status >= 1 && status <= 4 ? kStatus[status - 1] : L"???";
}

const char* text(const std::optional<std::string>& s) {
    return s ? s->c_str() : "(null)";
}
}  // namespace

void Mpeg2DataParser::parse_nit_descriptors(ByteReader rest, size_t length, Transponder* tp) {
    forEachDescriptor(rest, length, [&](uint8_t tag, ByteReader payload) {
        switch (tag) {
            case 0x40:
                info(L"  Found a network name descriptor");
                parse_network_name(payload, tp);
                break;
            case 0x43:
                info(L"  Found a satellite delivery system descriptor");
                break;
            case 0x44:
                info(L"  Found a cable delivery system descriptor");
                break;
            case 0x5A:
                info(L"  Found a terrestrial delivery system descriptor");
                parse_terrestrial_delivery(payload, tp);
                break;
            case 0x62:
                info(L"  Found a frequency list descriptor");
                parse_frequency_list(payload, tp);
                break;
            case 0x83:
                info(L"  Found a terrestrial uk channel number");
                parse_logical_channels(payload, tp);
                break;
            default:
                info(L"  skip descriptor 0x%02x", tag);
                break;
        }
        return true;
    });
}

void Mpeg2DataParser::parse_network_name(ByteReader payload, Transponder* tp) {
    if (!tp) return;
    std::string name(payload.size(), '\0');
    payload.bytes(reinterpret_cast<uint8_t*>(&name[0]), name.size());
    tp->network_name = name;
    info(L"    Network Name '%.*S'", static_cast<int>(name.size()), tp->network_name->c_str());
}

void Mpeg2DataParser::parse_terrestrial_delivery(ByteReader p, Transponder* tp) {
    if (!tp) {
        info(L"    terrestrial_delivery_system_descriptor outside transport stream definition (ignored)");
        return;
    }
    const uint32_t centre_frequency = p.u32();
    const uint8_t p4 = p.u8(), p5 = p.u8(), p6 = p.u8();
    if (p.error()) return;  // too short to hold the delivery parameters

    // Sent in units of 10 Hz; small values are taken as kHz already.
    uint32_t khz = centre_frequency > 2000000u ? centre_frequency / 100 : centre_frequency;
    tp->frequency = static_cast<int32_t>(khz);
    info(L"    Frequency %i", tp->frequency);
    tp->bandwidth = 8 - ((p4 >> 5) & 3);
    info(L"    Bandwidth %i", tp->bandwidth);
    static const wchar_t* const kConstellation[] = {L"    QPSK", L"    QAM_16", L"    QAM_64",
                                                    L"    QAM_AUTO"};
    info(L"%s", kConstellation[p5 >> 6]);
    info(L"    HP - %s", codeRateText(p5 & 7));
    info(L"    LP - %s", codeRateText(p6 >> 5));
    info((p6 & 0x02) ? L"    Transmission mode 8K" : L"    Transmission mode 2K");
    tp->other_frequency_flag = (p6 & 1) != 0;
    if (tp->other_frequency_flag) info(L"    Other frequency flags set");
}

void Mpeg2DataParser::parse_frequency_list(ByteReader p, Transponder* tp) {
    if (!tp) return;
    const int count = (static_cast<int>(p.size()) - 1) / 4;
    const int coding_type = p.u8() & 3;
    if (count < 1 || coding_type != 3) {
        tp->alternate_frequency_count = 0;
        tp->alternate_frequencies.clear();
        return;
    }
    tp->alternate_frequencies.clear();
    tp->alternate_frequency_count = count;
    for (int i = 0; i < count; ++i) {
        const int32_t khz = static_cast<int32_t>(p.u32() / 100);
        tp->alternate_frequencies.push_back(khz);
        info(L"    Alternate Frequency %i", khz);
    }
}

void Mpeg2DataParser::parse_logical_channels(ByteReader p, Transponder* tp) {
    if (!tp) return;
    for (size_t i = 0; i < p.size() / 4; ++i) {
        const int service_id = p.u16();
        p.skip(1);  // visible flag and the top bits of the number: only the low byte is used
        const int channel_number = p.u8();
        info(L"    Service ID 0x%x has channel number %d", service_id, channel_number);
        Service* s = find_service(tp, service_id);
        if (s) {
            s->channel_number = channel_number;
        } else {
            alloc_service(tp, service_id);
        }
    }
}

void Mpeg2DataParser::parse_sdt_descriptors(ByteReader rest, size_t length, Service* service) {
    forEachDescriptor(rest, length, [&](uint8_t tag, ByteReader payload) {
        if (tag == 0x48) {
            parse_service_descriptor(payload, service);
        } else {
            info(L"  skip descriptor 0x%02x", tag);
        }
        return true;
    });
}

void Mpeg2DataParser::parse_service_descriptor(ByteReader p, Service* s) {
    s->service_type = p.u8();
    // A name length past the end of the descriptor gives the bytes that are there.
    const uint8_t provider_name_length = p.u8();
    ByteReader provider = p.subAtMost(provider_name_length);
    const uint8_t service_name_length = p.u8();
    ByteReader name = p.subAtMost(service_name_length);
    s->provider_name = cleanName(provider);
    s->service_name = cleanName(name);
    info(L"  0x%04x 0x%04x: pmt_pid 0x%04x %S -- %S (%s%s)", s->transport_stream_id, s->service_id,
         s->pmt_pid, text(s->provider_name), text(s->service_name), runningStatusText(s->running_status),
         s->scrambled ? L", scrambled" : L"");
}

bool Mpeg2DataParser::find_stream_descriptor(ByteReader rest, size_t length, uint8_t wanted) {
    bool found = false;
    forEachDescriptor(rest, length, [&](uint8_t tag, ByteReader) {
        found = tag == wanted;
        return !found;
    });
    return found;
}

void Mpeg2DataParser::parse_audio_language(ByteReader rest, size_t length, Service* s, int index) {
    forEachDescriptor(rest, length, [&](uint8_t tag, ByteReader p) {
        if (tag == 0x0A && p.size() > 3) {
            uint8_t lang[4] = {};
            p.bytes(lang, 3);
            const int audio_type = p.u8();
            info(L"    LANG=%.3S %d", reinterpret_cast<const char*>(lang), audio_type);
            // An AC-3 stream after 32 regular ones has no entry left for its language.
            if (index >= 0 && index < Service::kMaxAudio) {
                for (int k = 0; k < 3; ++k) s->audio_lang[index][k] = static_cast<char>(lang[k]);
                s->audio_lang[index][3] = '\0';
            }
        } else {
            info(L"    skip descriptor 0x%02x", tag);
        }
        return true;
    });
}
