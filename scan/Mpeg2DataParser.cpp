#include "scan/Mpeg2DataParser.h"

#include <cstdio>
#include <new>

#include "base/Log.h"

namespace {
// Narrow text for a %S argument; printf-style formatting shows an absent string so.
const char* text(const std::optional<std::string>& s) {
    return s ? s->c_str() : "(null)";
}

constexpr int32_t kPatPid = 0x0000, kNitPid = 0x0010, kSdtPid = 0x0011, kVctPid = 0x1FFB;
constexpr int32_t kPatTid = 0x00, kPmtTid = 0x02, kNitTid = 0x40, kSdtTid = 0x42, kVctTid = 0xC8;
}  // namespace

Service* Mpeg2DataParser::find_service(Transponder* tp, int32_t service_id) {
    info(L"Mpeg2DataParser::find_service");
    if (!tp) {
        warn(L"Mpeg2DataParser::find_service bad tp parameter");
        return nullptr;
    }
    info(L"Mpeg2DataParser::find_service %d", static_cast<int>(tp->services.size()));
    for (Service& s : tp->services) {
        if (s.service_id == service_id) {
            warn(L"service id is ");
            return &s;
        }
    }
    return nullptr;
}

Transponder* Mpeg2DataParser::find_transponder(int32_t transport_stream_id) {
    for (Transponder& tp : m_transponders) {
        if (tp.transport_stream_id == transport_stream_id) return &tp;
    }
    return nullptr;
}

Transponder* Mpeg2DataParser::alloc_transponder(int32_t transport_stream_id) {
    m_transponders.emplace_back();
    m_transponders.back().transport_stream_id = transport_stream_id;
    return &m_transponders.back();
}

Service* Mpeg2DataParser::alloc_service(Transponder* tp, int32_t service_id) {
    try {
        if (tp) tp->services.emplace_back();
    } catch (const std::bad_alloc&) {
        tp = nullptr;
    }
    if (!tp) {
        debug(L"Mpeg2DataParser::alloc_service could not allocate service");
        return nullptr;
    }
    tp->services.back().service_id = service_id;
    return &tp->services.back();
}

void Mpeg2DataParser::add_filter(int32_t pid, int32_t table_id, int64_t timeout) {
    auto f = std::make_unique<SectionFilter>();
    f->pid = pid;
    f->table_id = table_id;
    f->timeout = timeout;
    m_filters.push_back(std::move(f));
}

void Mpeg2DataParser::scan_tables() {
    if (!m_sectionSource) return;
    add_filter(kPatPid, kPatTid, 5);
    if (m_scanType == SCAN_DVBT) {
        add_filter(kNitPid, kNitTid, 15);
        add_filter(kSdtPid, kSdtTid, 5);
    } else if (m_scanType == SCAN_ATSC) {
        add_filter(kVctPid, kVctTid, 5);
    }
    run_filters();
}

void Mpeg2DataParser::run_filters() {
    while (!m_filters.empty()) {
        // The PAT appends PMT requests while it is read: the front stays put until done.
        HRESULT hr = read_table(*m_filters.front());
        m_filters.pop_front();
        if (FAILED(hr)) {
            m_filters.clear();
            break;
        }
    }
}

HRESULT Mpeg2DataParser::read_table(SectionFilter& filter) {
    if (!m_sectionSource) return S_OK;
    ComPtr<ISectionList> list;
    HRESULT hr = m_sectionSource->GetTable(static_cast<PID>(filter.pid), static_cast<TID>(filter.table_id),
                                           nullptr, static_cast<DWORD>(filter.timeout * 1000), &list);
    if (FAILED(hr) || !list) {
        info(L"Timeout getting table (pid=%.4x, tid=%.2x)", filter.pid, filter.table_id);
        return FAILED(hr) ? hr : E_FAIL;
    }
    WORD count = 0;
    hr = list->GetNumberOfSections(&count);
    if (FAILED(hr)) {
        error(L"Error 0x%x getting number of sections", hr);
        return hr;
    }
    info(L"%d section(s) found for pid=%.4x, tid=%.2x", static_cast<int>(count), filter.pid, filter.table_id);
    info(L"pid");
    for (WORD i = 0; i < count; ++i) {
        DWORD size = 0;
        SECTION* section = nullptr;
        hr = list->GetSectionData(i, &size, &section);
        if (FAILED(hr) || !section) continue;
        filter.section = reinterpret_cast<const uint8_t*>(section);
        filter.section_size = size;
        parse_section(filter);
        filter.section = nullptr;
        filter.section_size = 0;
    }
    return hr;
}

void Mpeg2DataParser::parse_section(SectionFilter& filter) {
    // The header words arrive in host order (see SECTION): length and extension low byte first.
    const uint8_t* s = filter.section;
    if (!s || filter.section_size < 8) return;
    const int table_id = s[0];
    if (table_id != filter.table_id) return;
    // Every table read here is in the long form; a short-form section carries no CRC and no
    // section numbers, so its bytes would be read as fields they are not.
    if (!(s[2] & 0x80)) return;
    const int section_length = ((s[2] & 0x0F) << 8) | s[1];
    const int table_id_ext = s[3] | (s[4] << 8);
    const int version_number = (s[5] >> 1) & 0x1F;
    const int section_number = s[6];
    const int last_section_number = s[7];

    if (version_number != filter.version_number || table_id_ext != filter.table_id_extension) {
        if (filter.version_number != -1 && filter.table_id_extension != -1) {
            info(L"section version_number or table_id_ext changed %d -> %d / %04x -> %04x",
                 filter.version_number, version_number, filter.table_id_extension, table_id_ext);
        }
        filter.version_number = version_number;
        filter.table_id_extension = table_id_ext;
        std::fill(std::begin(filter.sections_seen), std::end(filter.sections_seen), 0);
    }
    if (filter.seen(section_number)) return;
    filter.mark(section_number);
    info(L"pid 0x%02x tid 0x%02x table_id_ext 0x%04x, %i/%i (version %i)", filter.pid, table_id, table_id_ext,
         section_number, last_section_number, version_number);

    // The body runs from byte 8 to the CRC; a section shorter than it says is read only as
    // far as it goes.
    int length = section_length - 9;
    const int available = static_cast<int>(filter.section_size) - 8;
    if (length > available) length = available;
    if (length < 0) length = 0;
    const uint8_t* body = s + 8;
    switch (table_id) {
        case kPatTid:
            info(L"PAT");
            parse_pat(body, length, table_id_ext);
            break;
        case kPmtTid:
            info(L"PMT 0x%04x for service 0x%04x", filter.pid, table_id_ext);
            parse_pmt(body, length, table_id_ext);
            break;
        case kNitTid:
            info(L"NIT (%s TS)", L"actual");
            parse_nit(body, length, table_id_ext);
            break;
        case kSdtTid:
            info(L"SDT (%s TS)", L"actual");
            parse_sdt(body, length, table_id_ext);
            break;
        case kVctTid: {
            info(L"VCT");
            size_t size = 3 + static_cast<size_t>(section_length);
            parse_vct(s, size < filter.section_size ? size : filter.section_size);
            break;
        }
        default:
            break;
    }
}

void Mpeg2DataParser::parse_pat(const uint8_t* body, int length, int32_t transport_stream_id) {
    if (length < 4) return;
    ByteReader r(body, static_cast<size_t>(length));
    for (int i = 0; i < length / 4; ++i) {
        const int program_number = r.u16();
        const int pid = r.u16() & 0x1FFF;
        if (program_number == 0) {
            info(L"Skipping nit pid entry with service_id 0x00");
            continue;
        }
        if (!m_currentTransponder) {
            m_currentTransponder = find_transponder(transport_stream_id);
            if (!m_currentTransponder) m_currentTransponder = alloc_transponder(transport_stream_id);
        }
        info(L"  Found service id 0x%04x with PMT 0x%04x", program_number, pid);
        Service* s = find_service(m_currentTransponder, program_number);
        if (!s) {
            info(L"parse_pat: New object found ");
            s = alloc_service(m_currentTransponder, program_number);
            if (!s) continue;
            info(L"parse_pat: allocated service ");
        } else {
            info(L"Existing service object found");
        }
        s->pmt_pid = static_cast<uint16_t>(pid);
        if (pid == 0) {
            info(L"Skipping adding filter. pmt pid is 0x00");
        } else {
            add_filter(pid, kPmtTid, 5);
        }
    }
}

void Mpeg2DataParser::parse_pmt(const uint8_t* body, int length, int32_t program_number) {
    Service* s = find_service(m_currentTransponder, program_number);
    if (!s) {
        info(L"PMT for serivce_id 0x%04x was not in PAT", program_number);
        return;
    }
    ByteReader r(body, length > 0 ? static_cast<size_t>(length) : 0);
    const uint16_t pcr_pid = r.u16() & 0x1FFF;
    const size_t program_info_length = r.u16() & 0x0FFF;
    if (!r.error()) s->pcr_pid = pcr_pid;
    // A program_info_length past the end leaves no streams to read.
    r.skip(program_info_length);

    while (!r.error() && r.remaining() >= 5) {
        const int stream_type = r.u8();
        const uint16_t pid = r.u16() & 0x1FFF;
        const size_t es_info_length = r.u16() & 0x0FFF;
        const ByteReader es = r;      // the stream's descriptors, bounded by the body
        r.subAtMost(es_info_length);  // steps over them, at most to the end of the body
        switch (stream_type) {
            case 0x01:
            case 0x02:
                info(L"  VIDEO     : PID 0x%04x", pid);
                if (s->video_pid == 0) s->video_pid = pid;
                break;
            case 0x03:
            case 0x04:
                info(L"  AUDIO     : PID 0x%04x", pid);
                if (s->audio_count < Service::kMaxAudio) {
                    s->audio_pid[s->audio_count] = pid;
                    parse_audio_language(es, es_info_length, s, s->audio_count);
                    ++s->audio_count;
                } else {
                    info(L"more than %i audio channels, truncating", Service::kMaxAudio);
                }
                break;
            case 0x06:
                if (find_stream_descriptor(es, es_info_length, 0x56)) {
                    info(L"  TELETEXT  : PID 0x%04x", pid);
                    s->teletext_pid = pid;
                } else if (find_stream_descriptor(es, es_info_length, 0x59)) {
                    info(L"  SUBTITLING: PID 0x%04x", pid);
                    s->subtitling_pid = pid;
                } else if (find_stream_descriptor(es, es_info_length, 0x6A)) {
                    info(L"  AC3       : PID 0x%04x", pid);
                    s->ac3_pid = pid;
                    parse_audio_language(es, es_info_length, s, s->audio_count);
                } else {
                    info(L"  OTHER     : PID 0x%04x TYPE 0x%02x", pid, stream_type);
                }
                break;
            default:
                info(L"  OTHER     : PID 0x%04x TYPE 0x%02x", pid, stream_type);
                break;
        }
    }

    // The audio list grows with the streams; it is built as a string, not in a fixed buffer.
    std::string audio;
    const int shown = s->audio_count > 0 ? s->audio_count : 1;
    for (int i = 0; i < shown; ++i) {
        char entry[32];
        std::snprintf(entry, sizeof entry, i == 0 ? "0x%04x (%.4s)" : ", 0x%04x (%.4s)", s->audio_pid[i],
                      s->audio_lang[i]);
        audio += entry;
    }
    info(L"0x%04x 0x%04x: %S -- %S, pmt_pid 0x%04x, vpid 0x%04x  %S", s->transport_stream_id, s->service_id,
         text(s->provider_name), text(s->service_name), s->pmt_pid, s->video_pid, audio.c_str());
}

void Mpeg2DataParser::parse_nit(const uint8_t* body, int length, int32_t network_id) {
    info(L"Parse nit");
    ByteReader r(body, length > 0 ? static_cast<size_t>(length) : 0);
    const int network_descriptors_length = r.u16() & 0x0FFF;
    if (length < network_descriptors_length + 4) {
        info(L"section too short: network_id == 0x%04x, section_length == %i, descriptors_loop_len == %i",
             network_id, length, network_descriptors_length);
        return;
    }
    parse_nit_descriptors(r, static_cast<size_t>(network_descriptors_length), m_currentTransponder);

    // transport_stream_loop_length is not read: the loop runs to the end of the body.
    int remaining = length - 4 - network_descriptors_length;
    while (remaining > 6) {
        ByteReader entry(body + (length - remaining), static_cast<size_t>(remaining));
        const int transport_stream_id = entry.u16();
        Transponder* tp = find_transponder(transport_stream_id);
        if (!tp) tp = alloc_transponder(transport_stream_id);
        tp->network_id = network_id;
        tp->original_network_id = entry.u16();
        info(L"  original_network_id 0x%04x", tp->original_network_id);
        const int transport_descriptors_length = entry.u16() & 0x0FFF;
        if (remaining < transport_descriptors_length + 4) {
            info(
                L"section too short: transport_stream_id == 0x%04x, section_length == %i, "
                L"descriptors_loop_len == %i",
                tp->transport_stream_id, remaining, transport_descriptors_length);
            return;
        }
        info(L"  transport_stream_id 0x%04x", tp->transport_stream_id);
        // The check above lets a loop overrun the entry by two bytes; the reader stops it at
        // the end of the body.
        parse_nit_descriptors(entry, static_cast<size_t>(transport_descriptors_length), tp);
        remaining -= 6 + transport_descriptors_length;
    }
}

void Mpeg2DataParser::parse_sdt(const uint8_t* body, int length, int32_t transport_stream_id) {
    info(L"Parse sdt");
    Transponder* tp = find_transponder(transport_stream_id);
    if (!tp) tp = alloc_transponder(transport_stream_id);
    if (length < 5) return;
    ByteReader r(body, static_cast<size_t>(length));
    r.skip(3);  // original_network_id, reserved
    // The count starts at the full length although three bytes are already behind; the reader
    // keeps every read inside the body all the same.
    int remaining = length;
    while (remaining > 4) {
        const int service_id = r.u16();
        r.skip(1);
        const uint8_t b3 = r.u8();
        const uint8_t b4 = r.u8();
        if (r.error()) return;
        const int descriptors_loop_length = ((b3 & 0x0F) << 8) | b4;
        if (remaining < descriptors_loop_length || descriptors_loop_length == 0) {
            info(L"  section too short: service_id == 0x%02x, section_length == %i, remainingLength == %i",
                 service_id, remaining, descriptors_loop_length);
            return;
        }
        Service* s = find_service(tp, service_id);
        if (!s) s = alloc_service(tp, service_id);
        const ByteReader loop = r;
        r.subAtMost(static_cast<size_t>(descriptors_loop_length));  // steps over the loop
        if (s) {
            s->running_status = b3 >> 5;
            s->scrambled = ((b3 >> 4) & 1) != 0;
            s->transport_stream_id = transport_stream_id;
            parse_sdt_descriptors(loop, static_cast<size_t>(descriptors_loop_length), s);
        }
        remaining -= descriptors_loop_length + 5;
    }
}

void Mpeg2DataParser::parse_vct(const uint8_t* section, size_t size) {
    if (!m_currentTransponder) return;
    ByteReader r(section, size);
    r.skip(9);
    const int num_channels_in_section = r.u8();
    for (int i = 0; i < num_channels_in_section; ++i) {
        ByteReader rec = r.sub(32);
        if (rec.error()) return;
        char short_name[8] = {};
        for (int k = 0; k < 7; ++k) {
            rec.skip(1);
            short_name[k] = static_cast<char>(rec.u8());
        }
        const uint8_t b14 = rec.u8(), b15 = rec.u8(), b16 = rec.u8();
        const int major = ((b14 & 0x0F) << 6) | (b15 >> 2);
        const int minor = ((b15 & 0x03) << 8) | b16;
        const int modulation_mode = rec.u8();
        const uint32_t carrier_frequency = rec.u32();
        const int channel_TSID = rec.u16();
        const int program_number = rec.u16();
        const int access_controlled = rec.u8() & 0x20;
        const int service_type = rec.u8() & 0x3F;
        rec.skip(2);  // source_id
        const int descriptors_length = rec.u16() & 0x03FF;
        debug(L"VCT:      major:%d minor:%d tsid:%x sid:%x mod:%d servicetype:%d desclen:%d", major, minor,
              channel_TSID, program_number, modulation_mode, service_type, descriptors_length);
        if (major == 0 && minor == 0 && channel_TSID == 0 && service_type == 0) return;
        if (modulation_mode > 5) return;
        Service* s = find_service(m_currentTransponder, program_number);
        if (!s) {
            info(L"VCT for serivce_id 0x%04x was not in PAT", program_number);
            return;
        }
        s->service_name = std::string(short_name);
        s->major_channel_number = major;
        s->minor_channel_number = minor;
        s->transport_stream_id = channel_TSID;
        m_currentTransponder->frequency = static_cast<int32_t>(carrier_frequency);
        debug(L"program_number %d", program_number);
        debug(L"access_controlled %d", access_controlled);
        debug(L"service_type %d", service_type);
        if (service_type == 1 || service_type == 2) debug(L"ATSC video");
        if (service_type == 3) debug(L"ATSC audio");
        static const wchar_t* const kModulation[] = {
            L"MOD_NOT_SET", L"ANALOG_FREQUENCY", L"64QAM", L"256QAM", L"8VSB", L"16VSB"};
        debug(L"%s", kModulation[modulation_mode]);
        // The channel's descriptors are not read.
        if (!r.skip(static_cast<size_t>(descriptors_length))) return;
    }
}
