// The records that the MPEG-2 table parser builds for one tuned multiplex.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// One programme. Names are byte strings as broadcast; none when not (or emptily) given.
struct Service {
    static constexpr int kMaxAudio = 32;

    int32_t transport_stream_id = 0;
    int32_t service_id = 0;
    std::optional<std::string> provider_name;
    std::optional<std::string> service_name;
    uint16_t pmt_pid = 0;
    uint16_t pcr_pid = 0;
    uint16_t video_pid = 0;
    uint16_t audio_pid[kMaxAudio] = {};
    char audio_lang[kMaxAudio][4] = {};  // three ISO 639 letters and a NUL
    int32_t audio_count = 0;
    uint16_t teletext_pid = 0;
    uint16_t subtitling_pid = 0;
    uint16_t ac3_pid = 0;
    uint8_t service_type = 0;
    bool scrambled = false;
    int32_t running_status = 0;
    int32_t channel_number = 0;
    int32_t major_channel_number = 0;
    int32_t minor_channel_number = 0;
};

// One transport stream, with its programmes in the order they were found.
struct Transponder {
    std::list<Service> services;  // a list: records are referred to while others are added
    int32_t network_id = 0;
    int32_t transport_stream_id = 0;
    int32_t original_network_id = 0;
    bool other_frequency_flag = false;
    int32_t alternate_frequency_count = 0;
    std::vector<int32_t> alternate_frequencies;  // kHz
    std::optional<std::string> network_name;
    int32_t frequency = 0;  // kHz (DVB-T), or the ATSC carrier_frequency as sent
    int32_t bandwidth = 0;  // MHz; 0 without a terrestrial delivery descriptor
};

// One table request and the sections received for it.
struct SectionFilter {
    int32_t pid = 0;
    int32_t table_id = 0;
    int32_t table_id_extension = -1;
    int32_t version_number = -1;
    uint8_t sections_seen[32] = {};  // bit n % 8 of byte n / 8 for section_number n
    int64_t timeout = 0;             // seconds
    // The section being parsed, header words in host order; not owned.
    const uint8_t* section = nullptr;
    size_t section_size = 0;

    bool seen(int n) const { return (sections_seen[n / 8] >> (n % 8)) & 1; }
    void mark(int n) { sections_seen[n / 8] |= static_cast<uint8_t>(1u << (n % 8)); }
};
