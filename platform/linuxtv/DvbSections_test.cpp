// A real tuner's stream feeds the guide-data filters of its graph exactly as the air's does: the
// section source answers table requests from it and the transport information filter announces
// its services. The stream comes through a pipe here, as the dvr device would give it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/com/ClassRegistry.h"
#include "platform/graph/GraphClasses.h"
#include "platform/linuxtv/DvbTunerFilter.h"
#include "platform/mpeg2data/AirSectionsFilter.h"
#include "platform/mpeg2data/SectionTestUtil.h"
#include "platform/mpeg2data/TransportInformationFilter.h"

using namespace sectiontest;

namespace {

// Only against a hang: a table comes round every few milliseconds here.
constexpr DWORD kPatienceMs = 60000;

Bytes pat(uint16_t tsid) {
    return makeSection(0x00, tsid, 0, 0, 0, {0x00, 0x01, 0xE1, 0x00});  // programme 1 on PID 0x100
}

Bytes sdt(uint16_t tsid) {
    const Bytes name = {'R', 'e', 'a', 'l'};
    Bytes body = {0x20, 0x85, 0xFF};  // original_network_id, reserved
    Bytes descriptor = {0x48, uint8_t(3 + name.size()), 0x01, 0x00, uint8_t(name.size())};
    descriptor.insert(descriptor.end(), name.begin(), name.end());
    Bytes service = {0x00, 0x01, 0xFC, 0x80, uint8_t(descriptor.size())};
    service.insert(service.end(), descriptor.begin(), descriptor.end());
    body.insert(body.end(), service.begin(), service.end());
    return makeSection(0x42, tsid, 0, 0, 0, body);
}

// A multiplex on a pipe: its PAT and SDT go round and round (as a broadcaster's carousel does)
// until the pipe is closed, so a request made at any moment meets them.
class PipeMultiplex {
public:
    explicit PipeMultiplex(uint16_t tsid, bool carries = true) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        std::string error;
        stream = DvbTransportStream::adopt(-1, fds[0], "/dev/dvb/adapter9/dvr0", error);
        m_writer = fds[1];
        if (!carries) return;
        m_thread = std::thread([this, tsid] {
            for (int cc = 0; !m_stop.load(); ++cc) {
                Bytes ts = packetise(0x0000, {pat(tsid)}, cc);
                Bytes s = packetise(0x0011, {sdt(tsid)}, cc);
                ts.insert(ts.end(), s.begin(), s.end());
                if (::write(m_writer, ts.data(), ts.size()) != static_cast<ssize_t>(ts.size())) break;
                // A carousel's pace; nothing waits on it.
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        });
    }
    ~PipeMultiplex() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
        if (m_writer >= 0) ::close(m_writer);
    }

    std::shared_ptr<DvbTransportStream> stream;

private:
    int m_writer = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class ServiceSink : public ComObject<IGuideDataEvent> {
public:
    HRESULT GuideDataAcquired() override { return S_OK; }
    HRESULT ProgramChanged(VARIANT) override { return S_OK; }
    HRESULT ServiceChanged(VARIANT item) override {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_items.push_back(item.vt == VT_I4 ? item.lVal : -1);
        }
        m_changed.notify_all();
        return S_OK;
    }
    HRESULT ScheduleEntryChanged(VARIANT) override { return S_OK; }
    HRESULT ProgramDeleted(VARIANT) override { return S_OK; }
    HRESULT ServiceDeleted(VARIANT) override { return S_OK; }
    HRESULT ScheduleDeleted(VARIANT) override { return S_OK; }

    bool waitFor(LONG item) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] {
            return std::find(m_items.begin(), m_items.end(), item) != m_items.end();
        });
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<LONG> m_items;
};

class DvbSectionsTest : public ::testing::Test {
protected:
    // A retune closes the pipe under its writer, which must then stop rather than die.
    static void SetUpTestSuite() { signal(SIGPIPE, SIG_IGN); }
    void SetUp() override {
        RegisterGraphClasses();
        DvbDevice d;
        d.frontendPath = "/nonexistent/dvb/adapter9/frontend0";
        d.demuxPath = "/nonexistent/dvb/adapter9/demux0";
        d.dvrPath = "/nonexistent/dvb/adapter9/dvr0";
        d.friendlyName = L"Piped";
        d.systems = {SYS_DVBT};
        tuner = std::make_shared<DvbTuner>(d);
        tunerFilter.Attach(CreateComObject<DvbTunerFilter>(tuner));
        sections.Attach(CreateComObject<AirSectionsFilter>());
        information.Attach(CreateComObject<TransportInformationFilter>());
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                         reinterpret_cast<void**>(&graph)));
        // The tuner first: the guide-data filters look for it as they join.
        ASSERT_EQ(S_OK, graph->AddFilter(tunerFilter.Get(), L"Tuner"));
        ASSERT_EQ(S_OK, graph->AddFilter(sections.Get(), AirSectionsFilter::kName));
        ASSERT_EQ(S_OK, graph->AddFilter(information.Get(), TransportInformationFilter::kName));
    }
    void TearDown() override {
        if (graph) {
            graph->RemoveFilter(information.Get());
            graph->RemoveFilter(sections.Get());
            graph->RemoveFilter(tunerFilter.Get());
        }
        tuner->powerDown();
    }

    // The one section of a table as received, empty when the request failed.
    Bytes table(PID pid, TID tid, DWORD timeoutMs, HRESULT* status = nullptr) {
        ComPtr<ISectionList> list;
        HRESULT hr = sections->GetTable(pid, tid, nullptr, timeoutMs, &list);
        if (status) *status = hr;
        WORD count = 0;
        if (FAILED(hr) || FAILED(list->GetNumberOfSections(&count)) || count != 1) return {};
        DWORD size = 0;
        SECTION* section = nullptr;
        if (FAILED(list->GetSectionData(0, &size, &section))) return {};
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(section);
        Bytes out(bytes, bytes + size);
        // The list hands out the header's two words in the host's byte order; as transmitted:
        if (out.size() >= 5) {
            std::swap(out[1], out[2]);
            std::swap(out[3], out[4]);
        }
        return out;
    }

    std::shared_ptr<DvbTuner> tuner;
    ComPtr<DvbTunerFilter> tunerFilter;
    ComPtr<AirSectionsFilter> sections;
    ComPtr<TransportInformationFilter> information;
    ComPtr<IGraphBuilder> graph;
};

TEST_F(DvbSectionsTest, TablesAndServiceNoticesComeFromTheTunersStreamAndFollowARetune) {
    ComPtr<IConnectionPoint> point;
    ASSERT_EQ(S_OK, information->FindConnectionPoint(IID_IGuideDataEvent, &point));
    ComPtr<ServiceSink> sink;
    sink.Attach(CreateComObject<ServiceSink>());
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(static_cast<IGuideDataEvent*>(sink.Get()), &cookie));

    auto first = std::make_unique<PipeMultiplex>(0x0101);
    ASSERT_TRUE(first->stream);
    tuner->receive(first->stream);
    EXPECT_EQ(pat(0x0101), table(0x0000, 0x00, kPatienceMs));
    EXPECT_EQ(sdt(0x0101), table(0x0011, 0x42, kPatienceMs));
    EXPECT_TRUE(sink->waitFor(0x0101));

    // A retune ends the old stream: what is asked for next comes from the new multiplex only.
    auto second = std::make_unique<PipeMultiplex>(0x0202);
    ASSERT_TRUE(second->stream);
    tuner->receive(second->stream);
    EXPECT_FALSE(first->stream->running());
    EXPECT_EQ(pat(0x0202), table(0x0000, 0x00, kPatienceMs));
    EXPECT_EQ(sdt(0x0202), table(0x0011, 0x42, kPatienceMs));
    EXPECT_TRUE(sink->waitFor(0x0202));
    point->Unadvise(cookie);
}

TEST_F(DvbSectionsTest, ARequestOnATunerThatReceivesNothingTimesOut) {
    HRESULT hr = S_OK;
    // Never tuned: no stream at all.
    EXPECT_TRUE(table(0x0000, 0x00, 100, &hr).empty());
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, hr);
    // Tuned, but the device delivers nothing (no lock): the wait still ends.
    PipeMultiplex silent(0x0303, false);
    ASSERT_TRUE(silent.stream);
    tuner->receive(silent.stream);
    EXPECT_TRUE(table(0x0000, 0x00, 100, &hr).empty());
    EXPECT_EQ(MPEG2DATA_E_TIMEOUT, hr);
}

}  // namespace
