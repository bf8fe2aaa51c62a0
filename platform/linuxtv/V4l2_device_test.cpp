// An analog card on the kernel's virtual video driver (vivid), inside the kernel test VM: found
// and registered as a tuner with its encoder, tuned through the Video Control as the TV control
// does it, and its pictures encoded to a programme a player decodes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/air/AirEncoder.h"
#include "platform/air/AirTsProbe.h"
#include "platform/bda/BdaClasses.h"
#include "platform/devenum/DevEnum.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/linuxtv/LinuxTvDevices.h"
#include "platform/linuxtv/V4l2Capture.h"
#include "platform/linuxtv/V4l2EncoderFilter.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidTestSink.h"

namespace {

using Clock = std::chrono::steady_clock;
// Only reached when something is broken; the emulated CPU encodes slowly.
constexpr auto kPatience = std::chrono::seconds(60);

ComPtr<ITuningSpace> tuningSpace(const wchar_t* name) {
    ComPtr<ITuningSpaceContainer> container;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_SystemTuningSpaces, nullptr, CLSCTX_INPROC_SERVER,
                                     IID_ITuningSpaceContainer, reinterpret_cast<void**>(&container)));
    ComPtr<IEnumTuningSpaces> spaces;
    container->get_EnumTuningSpaces(&spaces);
    ComPtr<ITuningSpace> space;
    while (spaces->Next(1, &space, nullptr) == S_OK) {
        CComBSTR unique;
        space->get_UniqueName(&unique);
        if (unique.str() == name) return space;
    }
    return nullptr;
}

// An antenna tune request of the United States' plan, as the TV control makes it.
CComVariant analogRequest(LONG channel) {
    ComPtr<ITuningSpace> space = tuningSpace(L"Antenna");
    ComPtr<IAnalogTVTuningSpace> analog;
    if (space && SUCCEEDED(space.As(&analog))) {
        analog->put_CountryCode(1);
        analog->put_InputType(TunerInputAntenna);
    }
    ComPtr<ITuneRequest> request;
    if (space) space->CreateTuneRequest(&request);
    ComPtr<IChannelTuneRequest> c;
    if (request && SUCCEEDED(request.As(&c))) c->put_Channel(channel);
    CComVariant v;
    v.vt = VT_UNKNOWN;
    v.punkVal = request.Detach();
    return v;
}

template <class Collection, class Item>
ComPtr<Item> itemNamed(Collection* collection, const std::wstring& name) {
    LONG count = 0;
    collection->get_Count(&count);
    for (LONG i = 0; i < count; ++i) {
        ComPtr<Item> item;
        if (FAILED(collection->get_Item(CComVariant(i), &item))) continue;
        CComBSTR n;
        item->get_Name(&n);
        if (n.str() == name) return item;
    }
    return nullptr;
}

class VividTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        RegisterGraphClasses();
        RegisterDevEnumClasses();
        RegisterBdaClasses();
        RegisterVidCtlClasses();
        VidTestSink::registerAsStreamBufferSink();
    }
    void SetUp() override {
        if (!std::getenv("SKYVANE_KERNEL_TEST_VM")) GTEST_SKIP() << "runs only inside the kernel test VM";
        setenv("PELMO_TUNERS", "real", 1);
        selection = SelectTuners(false);
        ASSERT_TRUE(selection.analog);
        ASSERT_EQ(1u, selection.analog->cards());
        card = selection.analog->cardList()[0];
    }
    void TearDown() override {
        if (control) control->Decompose();
        control = nullptr;
        VidTestSink::last() = nullptr;
        selection = TunerSelection();
        unsetenv("PELMO_TUNERS");
    }

    TunerSelection selection;
    std::shared_ptr<V4l2Card> card;
    ComPtr<IMSVidCtl> control;
};

TEST_F(VividTest, TheCardIsATunerWithItsEncoderInTheDeviceEnumerator) {
    std::printf("analog card \"%ls\": tuner %ls, encoder %ls\n", card->device.friendlyName.c_str(),
                card->tunerPath.c_str(), card->encoderPath.c_str());
    EXPECT_FALSE(selection.air) << "real tuners were asked for";
    bool tuner = false, encoder = false;
    for (const DeviceRecord& r : DeviceRegistry::instance().devices(KSCATEGORY_TVTUNER))
        tuner = tuner || r.devicePath == card->tunerPath;
    for (const DeviceRecord& r : DeviceRegistry::instance().devices(KSCATEGORY_ENCODER))
        encoder = encoder || r.devicePath == card->encoderPath;
    EXPECT_TRUE(tuner);
    EXPECT_TRUE(encoder);
    EXPECT_EQ(card->tunerPath.substr(0, card->tunerPath.rfind(L'#')),
              card->encoderPath.substr(0, card->encoderPath.rfind(L'#')));
}

// Channel 3 (61.25 MHz) carries vivid's picture, channel 5 (77.25 MHz) nothing. Through the
// control: the tuner as input, its card's encoder as the feature, a transport-stream sink.
TEST_F(VividTest, AChannelIsTunedCapturedAndEncodedToMpeg2ThroughTheVideoControl) {
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                     reinterpret_cast<void**>(&control)));
    ComPtr<IMSVidInputDevices> inputs;
    ASSERT_EQ(S_OK, control->_InputsAvailable(&KSCATEGORY_TVTUNER, &inputs));
    auto input = itemNamed<IMSVidInputDevices, IMSVidInputDevice>(inputs.Get(), card->device.friendlyName);
    ASSERT_TRUE(input);
    ASSERT_EQ(S_OK, control->put_InputActive(input.Get()));
    ComPtr<IMSVidFeatures> available, features;
    ASSERT_EQ(S_OK, control->get_FeaturesAvailable(&available));
    auto encoder = itemNamed<IMSVidFeatures, IMSVidFeature>(available.Get(),
                                                            card->device.friendlyName + L" MPEG Encoder");
    ASSERT_TRUE(encoder);
    ASSERT_EQ(S_OK, control->get_FeaturesActive(&features));
    ASSERT_EQ(S_OK, features->Add(encoder.Get()));
    ASSERT_EQ(S_OK, control->put_FeaturesActive(features.Get()));
    ComPtr<IMSVidOutputDevices> outputs, active;
    ASSERT_EQ(S_OK, control->_OutputsAvailable(&GUID_NULL, &outputs));
    auto sinkDevice = itemNamed<IMSVidOutputDevices, IMSVidOutputDevice>(outputs.Get(), L"Test Sink");
    if (!sinkDevice) {
        LONG n = 0;
        outputs->get_Count(&n);
        ASSERT_GT(n, 0);
        ASSERT_EQ(S_OK, outputs->get_Item(CComVariant(0), &sinkDevice));
    }
    ASSERT_EQ(S_OK, control->get_OutputsActive(&active));
    ASSERT_EQ(S_OK, active->Add(sinkDevice.Get()));
    ASSERT_EQ(S_OK, control->put_OutputsActive(active.Get()));

    // The signal as the TV control asks for it: the analog tuner's channel and its availability.
    ComPtr<IMSVidAnalogTuner> analog;
    ASSERT_EQ(S_OK, input.As(&analog));
    auto signal = [&](LONG channel) {
        LONG strength = -1;
        VARIANT_BOOL present = VARIANT_FALSE;
        EXPECT_EQ(S_OK, analog->ChannelAvailable(channel, &strength, &present));
        return present ? strength : -strength - 1;  // -1: absent with strength 0
    };
    CComVariant nothing = analogRequest(5);
    ASSERT_EQ(S_OK, control->View(&nothing));
    EXPECT_EQ(0, card->tuner->signalPercent());
    EXPECT_EQ(-1, signal(5));
    CComVariant three = analogRequest(3);
    ASSERT_EQ(S_OK, control->View(&three));
    EXPECT_EQ(61250000u, card->tuner->frequencyHz());
    EXPECT_EQ(100, card->tuner->signalPercent());
    EXPECT_EQ(100, signal(3));
    LONG channel = -1;
    EXPECT_EQ(S_OK, analog->get_Channel(&channel));
    EXPECT_EQ(3, channel);
    // A channel the plan does not have is refused and the tuning stays.
    CComVariant seventy = analogRequest(70);
    EXPECT_EQ(E_INVALIDARG, control->View(&seventy));
    EXPECT_EQ(61250000u, card->tuner->frequencyHz());

    ASSERT_EQ(S_OK, control->Run());
    VidTestSinkFilter* sink = VidTestSink::last()->filter();
    ASSERT_TRUE(sink);
    sink->keep(4 << 20);
    // About two seconds of programme: enough for whole GOPs and sound.
    auto until = Clock::now() + kPatience;
    while (sink->kept().size() < 600 * 1024 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::vector<uint8_t> ts = sink->kept();
    ASSERT_EQ(S_OK, control->Stop());
    ASSERT_GE(ts.size(), 600u * 1024) << "the encoder delivered too little";

    AirTsProbe probe = AirTsProbe::decode(ts);
    ASSERT_EQ("", probe.error);
    std::printf("channel 3 encoded: %zu bytes, %s %dx%d, %zu pictures, %s %zu samples\n", ts.size(),
                probe.videoCodec.c_str(), probe.width, probe.height, probe.pictures, probe.audioCodec.c_str(),
                probe.mono.size());
    EXPECT_EQ("mpeg2video", probe.videoCodec);
    EXPECT_EQ(720, probe.width);
    EXPECT_EQ(card->tuner->framesPerSecond() == 30 ? 480 : 576, probe.height);
    EXPECT_GE(probe.pictures, 10u);
    // vivid's test pattern, not a flat picture.
    EXPECT_GT(probe.lastPictureSpread, 10.0);
    // No sound on the capture device: the programme's audio is there, silent.
    EXPECT_EQ("mp2", probe.audioCodec);
    ASSERT_FALSE(probe.mono.empty());
    EXPECT_LT(probe.rms(0, probe.mono.size()), 1e-3);
}

// A card whose device is gone (unplugged, driver unloaded): the tune fails at once, saying so.
TEST_F(VividTest, ACardThatIsGoneFailsTheTuneClearly) {
    V4l2Device gone = card->device;
    gone.path = "/dev/video-not-there";
    auto missing = std::make_shared<V4l2Card>();
    missing->device = gone;
    ComPtr<V4l2TunerFilter> filter;
    filter.Attach(CreateComObject<V4l2TunerFilter>(missing));
    CComVariant three = analogRequest(3);
    ComPtr<ITuneRequest> request;
    ASSERT_EQ(S_OK, three.punkVal->QueryInterface(IID_ITuneRequest, reinterpret_cast<void**>(&request)));
    EXPECT_EQ(E_FAIL, filter->put_TuneRequest(request.Get()));
    std::string error;
    EXPECT_FALSE(missing->tuner->open(gone, error));
    EXPECT_EQ("/dev/video-not-there is not there any more: the tuner was unplugged or its driver unloaded",
              error);
}

// Another process captures from the card: ours gets no pictures, and its encoder ends with the
// fixed text instead of waiting.
TEST_F(VividTest, ACardAnotherProgramCapturesFromEndsTheEncodeClearly) {
    int ready[2], release[2];
    ASSERT_EQ(0, pipe(ready));
    ASSERT_EQ(0, pipe(release));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Reading one picture makes this process the card's reader until it closes.
        std::vector<char> picture(720 * 576 * 2);
        int fd = open(card->device.path.c_str(), O_RDWR);
        char b = fd >= 0 && read(fd, picture.data(), picture.size()) > 0 ? 'y' : 'n';
        (void)!write(ready[1], &b, 1);
        (void)!read(release[0], &b, 1);
        _exit(0);
    }
    // The child goes when this scope ends, whatever the assertions say.
    struct Reap {
        pid_t pid;
        int fd;
        ~Reap() {
            char b = 'x';
            (void)!write(fd, &b, 1);
            int status = 0;
            waitpid(pid, &status, 0);
        }
    } reap{child, release[1]};
    char b = 0;
    ASSERT_EQ(1, read(ready[0], &b, 1));
    ASSERT_EQ('y', b) << "the other process could not capture";

    std::string error;
    ASSERT_TRUE(card->tuner->open(card->device, error)) << error;
    AirEncoder encoder(std::make_shared<V4l2Capture>(card->tuner),
                       V4l2EncoderFilter::settingsFor(*card->tuner));
    auto reader = encoder.subscribe();
    if (encoder.start()) {
        // It started (the format is the other reader's): the first read fails and ends it.
        std::vector<uint8_t> chunk(188 * 64);
        size_t got = 0;
        while (reader->read(chunk.data(), 64, got, 60000) == AirConsumer::Read::Data) {
        }
    }
    EXPECT_FALSE(encoder.running());
    EXPECT_NE(std::string::npos, encoder.lastError().find("is busy: another program is using the tuner"))
        << encoder.lastError();
}

}  // namespace
