// The generator's tables, read back from the demo clips by an independent decoder (libdvbpsi).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <dvbpsi/dvbpsi.h>
#include <dvbpsi/descriptor.h>
#include <dvbpsi/psi.h>
#include <dvbpsi/atsc_vct.h>
#include <dvbpsi/demux.h>
#include <dvbpsi/dr_40.h>
#include <dvbpsi/dr_41.h>
#include <dvbpsi/dr_48.h>
#include <dvbpsi/dr_5a.h>
#include <dvbpsi/dr_62.h>
#include <dvbpsi/dr_83.h>
#include <dvbpsi/nit.h>
#include <dvbpsi/sdt.h>
}

#include "platform/air/AirCatalogue.h"
#include "platform/air/AirClip.h"
#include "platform/air/TsPacket.h"
#include "tools/skyvane-mkbroadcast/BroadcastTables.h"

namespace {

const std::string kDemo = std::string(SKYVANE_BINARY_DIR) + "/data/demo/";

struct NitTs {
    uint16_t onid = 0;
    uint32_t frequency = 0;  // 10 Hz
    int bandwidthCode = -1;
    int otherFrequency = -1;
    std::vector<uint32_t> alternates;
    std::map<uint16_t, uint16_t> lcn;
    std::map<uint16_t, uint8_t> serviceTypes;
};
struct Decoded {
    int nitCount = 0, sdtCount = 0, vctCount = 0;
    uint16_t networkId = 0;
    std::string networkName;
    std::map<uint16_t, NitTs> nit;  // by TSID
    uint16_t sdtTsid = 0, sdtOnid = 0;
    std::map<uint16_t, std::pair<std::string, std::string>> sdt;  // sid -> provider, name
    std::map<uint16_t, uint8_t> sdtTypes;
    struct Channel {
        std::string name;
        int major, minor, program, tsid, serviceType;
    };
    std::vector<Channel> vct;
};

void onNit(void* data, dvbpsi_nit_t* nit) {
    auto* d = static_cast<Decoded*>(data);
    ++d->nitCount;
    d->networkId = nit->i_network_id;
    for (dvbpsi_descriptor_t* r = nit->p_first_descriptor; r; r = r->p_next)
        if (r->i_tag == 0x40)
            if (auto* n = dvbpsi_DecodeNetworkNameDr(r))
                d->networkName.assign(reinterpret_cast<char*>(n->i_name_byte), n->i_name_length);
    for (dvbpsi_nit_ts_t* ts = nit->p_first_ts; ts; ts = ts->p_next) {
        NitTs& t = d->nit[ts->i_ts_id];
        t.onid = ts->i_orig_network_id;
        for (dvbpsi_descriptor_t* r = ts->p_first_descriptor; r; r = r->p_next) {
            if (r->i_tag == 0x5A) {
                if (auto* x = dvbpsi_DecodeTerrDelivSysDr(r)) {
                    t.frequency = x->i_centre_frequency;
                    t.bandwidthCode = x->i_bandwidth;
                    t.otherFrequency = x->i_other_frequency_flag;
                }
            } else if (r->i_tag == 0x62) {
                if (auto* x = dvbpsi_DecodeFrequencyListDr(r))
                    t.alternates.assign(x->p_center_frequencies,
                                        x->p_center_frequencies + x->i_number_of_frequencies);
            } else if (r->i_tag == 0x83) {
                if (auto* x = dvbpsi_DecodeLCNDr(r))
                    for (int i = 0; i < x->i_number_of_entries; ++i)
                        t.lcn[x->p_entries[i].i_service_id] = x->p_entries[i].i_logical_channel_number;
            } else if (r->i_tag == 0x41) {
                if (auto* x = dvbpsi_DecodeServiceListDr(r))
                    for (int i = 0; i < x->i_service_count; ++i)
                        t.serviceTypes[x->i_service[i].i_service_id] = x->i_service[i].i_service_type;
            }
        }
    }
    dvbpsi_nit_delete(nit);
}

void onSdt(void* data, dvbpsi_sdt_t* sdt) {
    auto* d = static_cast<Decoded*>(data);
    ++d->sdtCount;
    d->sdtTsid = sdt->i_extension;
    d->sdtOnid = sdt->i_network_id;
    for (dvbpsi_sdt_service_t* s = sdt->p_first_service; s; s = s->p_next)
        for (dvbpsi_descriptor_t* r = s->p_first_descriptor; r; r = r->p_next)
            if (r->i_tag == 0x48)
                if (auto* x = dvbpsi_DecodeServiceDr(r)) {
                    d->sdt[s->i_service_id] = {
                        std::string(reinterpret_cast<char*>(x->i_service_provider_name),
                                    x->i_service_provider_name_length),
                        std::string(reinterpret_cast<char*>(x->i_service_name), x->i_service_name_length)};
                    d->sdtTypes[s->i_service_id] = x->i_service_type;
                }
    dvbpsi_sdt_delete(sdt);
}

void onVct(void* data, dvbpsi_atsc_vct_t* vct) {
    auto* d = static_cast<Decoded*>(data);
    ++d->vctCount;
    d->vct.clear();
    for (dvbpsi_atsc_vct_channel_t* c = vct->p_first_channel; c; c = c->p_next) {
        std::string name;
        for (int i = 0; i < 7; ++i)
            if (char ch = char(c->i_short_name[2 * i + 1])) name += ch;
        d->vct.push_back({name, c->i_major_number, c->i_minor_number, c->i_program_number, c->i_channel_tsid,
                          c->i_service_type});
    }
    dvbpsi_atsc_DeleteVCT(vct);
}

void newTable(dvbpsi_t* h, uint8_t tableId, uint16_t extension, void* data) {
    if (tableId == 0x40) dvbpsi_nit_attach(h, tableId, extension, onNit, data);
    if (tableId == 0x42) dvbpsi_sdt_attach(h, tableId, extension, onSdt, data);
    if (tableId == 0xC8) dvbpsi_atsc_AttachVCT(h, tableId, extension, onVct, data);
}

Decoded decode(const std::string& file, std::string& error) {
    Decoded d;
    auto clip = AirClip::load(file, 0, error);
    if (!clip) return d;
    std::map<uint16_t, dvbpsi_t*> handles;
    for (uint16_t pid : {uint16_t(0x10), uint16_t(0x11), uint16_t(0x1FFB)}) {
        dvbpsi_t* h = dvbpsi_new(nullptr, DVBPSI_MSG_NONE);
        dvbpsi_AttachDemux(h, newTable, &d);
        handles[pid] = h;
    }
    std::vector<uint8_t> p(188);
    for (size_t i = 0; i < clip->packetCount(); ++i) {
        std::memcpy(p.data(), clip->packet(i), 188);
        auto it = handles.find(tspacket::pid(p.data()));
        if (it != handles.end()) dvbpsi_packet_push(it->second, p.data());
    }
    for (auto& h : handles) {
        dvbpsi_DetachDemux(h.second);
        dvbpsi_delete(h.second);
    }
    return d;
}

std::unique_ptr<AirCatalogue> demo() {
    std::string error;
    auto c = AirCatalogue::load(kDemo + "broadcast.xml", true, error);
    EXPECT_TRUE(c) << error;
    return c;
}

}  // namespace

TEST(BroadcastTables, Crc32MatchesTheMpegCheckValue) {
    const char* check = "123456789";
    EXPECT_EQ(0x0376E6E7u, BroadcastTables::crc32(reinterpret_cast<const uint8_t*>(check), 9));
    // A section followed by its own CRC leaves zero.
    AirMultiplex m;
    m.transportStreamId = 7;
    m.services.push_back(AirService{});
    m.services.back().serviceId = 1;
    m.services.back().name = "x";
    auto s = BroadcastTables::sdt(m);
    ASSERT_EQ(1u, s.size());
    EXPECT_EQ(0u, BroadcastTables::crc32(s[0].data(), s[0].size()));
}

TEST(BroadcastTables, NitOfTheDemoNetworkDecodesIndependently) {
    auto c = demo();
    ASSERT_TRUE(c);
    std::string error;
    Decoded d = decode(kDemo + "dvbt-538000.ts", error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_GE(d.nitCount, 1);
    EXPECT_EQ(12290, d.networkId);
    EXPECT_EQ("Skyvane Demo Network", d.networkName);
    // Every multiplex of the network with a NIT, and not the local one without.
    ASSERT_EQ(3u, d.nit.size());
    EXPECT_EQ(0u, d.nit.count(4200));
    const NitTs& alt = d.nit.at(4101);
    EXPECT_EQ(8916, alt.onid);
    EXPECT_EQ(53800000u, alt.frequency);
    EXPECT_EQ(0, alt.bandwidthCode);  // 8 MHz
    EXPECT_EQ(1, alt.otherFrequency);
    EXPECT_EQ((std::vector<uint32_t>{56200000u, 69000000u}), alt.alternates);
    EXPECT_EQ((std::map<uint16_t, uint16_t>{{4228, 3}, {4229, 4}}), alt.lcn);
    // The off-raster transmitter announces where it really is.
    EXPECT_EQ(61816700u, d.nit.at(4102).frequency);
    EXPECT_EQ(0, d.nit.at(4102).otherFrequency);
    EXPECT_EQ((std::map<uint16_t, uint8_t>{{4164, 1}, {4165, 1}, {4166, 1}}), d.nit.at(4100).serviceTypes);
    EXPECT_EQ(7, d.nit.at(4100).lcn.at(4166));
}

TEST(BroadcastTables, SdtNamesEveryServiceOfItsMultiplex) {
    std::string error;
    Decoded d = decode(kDemo + "dvbt-474000.ts", error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_GE(d.sdtCount, 1);
    EXPECT_EQ(4100, d.sdtTsid);
    EXPECT_EQ(8916, d.sdtOnid);
    ASSERT_EQ(3u, d.sdt.size());
    EXPECT_EQ("Skyvane", d.sdt.at(4164).first);
    EXPECT_EQ("Demo One", d.sdt.at(4164).second);
    EXPECT_EQ("Demo Music", d.sdt.at(4166).second);
    EXPECT_EQ(1, d.sdtTypes.at(4165));

    Decoded local = decode(kDemo + "dvbt-706000.ts", error);
    EXPECT_EQ(0, local.nitCount);
    ASSERT_EQ(1u, local.sdt.size());
    EXPECT_EQ("Town TV", local.sdt.at(4400).first);
    EXPECT_EQ("Local Seven", local.sdt.at(4400).second);
}

TEST(BroadcastTables, TerrestrialVctListsTheAtscChannels) {
    std::string error;
    Decoded d = decode(kDemo + "atsc-22.ts", error);
    ASSERT_TRUE(error.empty()) << error;
    ASSERT_GE(d.vctCount, 1);
    EXPECT_EQ(0, d.nitCount);
    EXPECT_EQ(0, d.sdtCount);
    ASSERT_EQ(2u, d.vct.size());
    EXPECT_EQ("SKY-HD", d.vct[0].name);
    EXPECT_EQ(22, d.vct[0].major);
    EXPECT_EQ(1, d.vct[0].minor);
    EXPECT_EQ(1, d.vct[0].program);
    EXPECT_EQ(2593, d.vct[0].tsid);
    EXPECT_EQ(2, d.vct[0].serviceType);
    EXPECT_EQ("SKY-SD", d.vct[1].name);
    EXPECT_EQ(2, d.vct[1].minor);
    EXPECT_EQ(2, d.vct[1].program);
}

// Tables come round at their interval for the whole clip, including across the loop.
TEST(BroadcastTables, TablesRepeatAtTheirIntervals) {
    auto c = demo();
    ASSERT_TRUE(c);
    for (const AirMultiplex& m : c->multiplexes()) {
        if (m.system == AirSystem::Analog) continue;
        std::string error;
        auto clip = AirClip::load(m.file, 0, error);
        ASSERT_TRUE(clip) << error;
        std::map<uint16_t, int> interval;
        if (m.system == AirSystem::ATSC)
            interval[0x1FFB] = m.vctIntervalMs;
        else
            interval[0x11] = m.sdtIntervalMs;
        if (m.nit && m.system == AirSystem::DVBT) interval[0x10] = m.nitIntervalMs;
        for (auto& [pid, ms] : interval) {
            std::vector<int64_t> starts;
            for (size_t i = 0; i < clip->packetCount(); ++i)
                if (tspacket::pid(clip->packet(i)) == pid && tspacket::payloadStart(clip->packet(i)))
                    starts.push_back(clip->packetTime(i));
            ASSERT_GE(starts.size(), 2u) << m.file << " pid " << pid;
            starts.push_back(starts.front() + clip->loopTicks());
            // A table waits for the next free packet, which a picture burst can hold back.
            const int64_t slack = 27000 * 60;
            for (size_t k = 1; k < starts.size(); ++k)
                EXPECT_LE(starts[k] - starts[k - 1], int64_t(ms) * 27000 + slack) << m.file << " pid " << pid;
            EXPECT_NEAR(double(starts.size() - 1), m.seconds * 1000.0 / ms, 1.0) << m.file;
        }
    }
}
