#include "plugin/CSampleGrabber.h"

#include <gtest/gtest.h>

#include "plugin/GrabberTestSupport.h"

namespace {

class CSampleGrabberTest : public ::testing::Test {
protected:
    void SetUp() override {
        HRESULT hr = E_FAIL;
        grabber.Attach(new CSampleGrabber(&hr));
        grabber->AddRef();
        ASSERT_EQ(S_OK, hr);
        grabber->SetCallback(&cb, 7, nullptr);
    }
    void send(const std::string& text, REFERENCE_TIME start = kUntimed, REFERENCE_TIME end = kUntimed,
              bool sync = false) {
        ASSERT_EQ(S_OK, grabber->Transform(makeSample(text, start, end, sync).Get()));
    }
    CSampleGrabberInPin* pin() { return static_cast<CSampleGrabberInPin*>(grabber->GetPin(0)); }

    ScopedCaptureLog log;
    ComPtr<CSampleGrabber> grabber;
    RecordingCallBack cb;
};

TEST_F(CSampleGrabberTest, EachTimedSampleLeavesWhenTheNextOneArrives) {
    send("S1", 100, 200, true);
    EXPECT_TRUE(cb.samples.empty());
    send("S2", 300, 400);
    ASSERT_EQ(1u, cb.samples.size());
    EXPECT_EQ("S1", cb.samples[0].bytes);
    EXPECT_EQ(100, cb.samples[0].start);
    EXPECT_EQ(200, cb.samples[0].end);
    EXPECT_EQ(1, cb.samples[0].syncPoint);
    EXPECT_EQ(7, cb.samples[0].streamId);
    send("S3", 500, 600);
    ASSERT_EQ(2u, cb.samples.size());
    EXPECT_EQ("S2", cb.samples[1].bytes);
    EXPECT_EQ(0, cb.samples[1].syncPoint);
    // S3 stays held: its end is only known when a fourth sample comes.
}

TEST_F(CSampleGrabberTest, UntimedSamplesAreMergedIntoTheHeldOne) {
    send("ab", 1000, 1100, true);
    send("cd");
    send("ef");
    EXPECT_TRUE(cb.samples.empty());
    send("S2", 2000, 2100);
    ASSERT_EQ(1u, cb.samples.size());
    EXPECT_EQ("abcdef", cb.samples[0].bytes);
    EXPECT_EQ(1000, cb.samples[0].start);
    EXPECT_EQ(1100, cb.samples[0].end);
    EXPECT_EQ(1, cb.samples[0].syncPoint);
}

TEST_F(CSampleGrabberTest, StartTimesKeepRisingByOneMicrosecond) {
    send("a", 1000);
    send("b", 500);
    send("c", 600);
    send("d", -50);
    send("e", 900);
    send("f", 5000);
    ASSERT_EQ(5u, cb.samples.size());
    EXPECT_EQ(1000, cb.samples[0].start);
    EXPECT_EQ(1010, cb.samples[1].start);
    EXPECT_EQ(1020, cb.samples[2].start);
    // A negative start compares as a huge unsigned value: delivered as it is, and not kept.
    EXPECT_EQ(-50, cb.samples[3].start);
    EXPECT_EQ(1030, cb.samples[4].start);
}

TEST_F(CSampleGrabberTest, FlushSetsTheTimeBaseAndDropsTheHeldSample) {
    send("old", 100);
    const REFERENCE_TIME t = 50000;
    EXPECT_EQ(S_OK, grabber->FlushBuffers(t));
    send("A", 0, 40);
    send("B", 0, 40);
    send("C", -10, 40);
    send("D", 0, 40);
    ASSERT_EQ(3u, cb.samples.size());
    EXPECT_EQ("A", cb.samples[0].bytes);
    EXPECT_EQ(t, cb.samples[0].start);
    EXPECT_EQ(t + 40, cb.samples[0].end);
    // An equal start is not earlier: only a start below the last one is moved.
    EXPECT_EQ("B", cb.samples[1].bytes);
    EXPECT_EQ(t, cb.samples[1].start);
    EXPECT_EQ("C", cb.samples[2].bytes);
    EXPECT_EQ(t + 10, cb.samples[2].start);
    EXPECT_TRUE(log.log->contains(L"FlushBuffers streamId 7 startTime 50000", LOG_DEBUG));
}

TEST_F(CSampleGrabberTest, WithoutCallbackSamplesAreDroppedAndNothingIsHeld) {
    grabber->SetCallback(nullptr, 7, nullptr);
    send("lost1", 100);
    send("lost2", 200);
    grabber->SetCallback(&cb, 7, nullptr);
    send("kept", 300);
    send("next", 400);
    ASSERT_EQ(1u, cb.samples.size());
    EXPECT_EQ("kept", cb.samples[0].bytes);
}

TEST_F(CSampleGrabberTest, AnEmptySampleLeavesTheHeldSampleHeld) {
    send("S1", 100);
    send("", 200);
    EXPECT_TRUE(log.log->contains(L"NULL buffer pointer returned from GetPointer", LOG_DEBUG));
    EXPECT_TRUE(cb.samples.empty());
    send("S2", 300);
    ASSERT_EQ(1u, cb.samples.size());
    EXPECT_EQ("S1", cb.samples[0].bytes);
    EXPECT_EQ(100, cb.samples[0].start);
}

TEST_F(CSampleGrabberTest, TypeChangeIsReportedOnceWithTheNextDelivery) {
    send("S1", 100);
    CMediaType mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = MEDIASUBTYPE_YUY2;
    pin()->SetMediaType(&mt);
    send("S2", 200);
    send("S3", 300);
    ASSERT_EQ(2u, cb.samples.size());
    EXPECT_EQ(1, cb.samples[0].typeChanged);
    EXPECT_EQ(0, cb.samples[1].typeChanged);
}

TEST_F(CSampleGrabberTest, EndOfStreamGoesToTheCallbackWithTheStreamId) {
    EXPECT_EQ(S_OK, grabber->EndOfStream());
    ASSERT_EQ(1u, cb.ends.size());
    EXPECT_EQ(7, cb.ends[0]);
    EXPECT_TRUE(log.log->contains(L"CSampleGrabber::EndOfStream streamId 7", LOG_DEBUG));
}

CMediaType videoType(const GUID& sub, const GUID& format = GUID_NULL) {
    CMediaType mt;
    mt.majortype = MEDIATYPE_Video;
    mt.subtype = sub;
    mt.formattype = format;
    return mt;
}

TEST_F(CSampleGrabberTest, AcceptedListMatchesMajorSubtypeAndFormat) {
    // Empty list: anything goes.
    CMediaType rgb32 = videoType(MEDIASUBTYPE_RGB32, FORMAT_VideoInfo);
    EXPECT_EQ(S_OK, grabber->CheckInputType(&rgb32));
    EXPECT_EQ(E_POINTER, grabber->CheckInputType(nullptr));

    CMediaType yuy2 = videoType(MEDIASUBTYPE_YUY2), rgb24 = videoType(MEDIASUBTYPE_RGB24);
    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(0, &yuy2));
    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(1, &rgb24));
    CMediaType offered = videoType(MEDIASUBTYPE_RGB24, FORMAT_VideoInfo);
    EXPECT_EQ(S_OK, grabber->CheckInputType(&offered));
    EXPECT_EQ(MakeHResult(0x80040248u), grabber->CheckInputType(&rgb32));
    CMediaType audio;
    audio.majortype = MEDIATYPE_Audio;
    audio.subtype = MEDIASUBTYPE_RGB24;
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, grabber->CheckInputType(&audio));
    EXPECT_TRUE(
        log.log->contains(L"CSampleGrabber MediaType: MEDIATYPE_Video, MediaSubType: MEDIASUBTYPE_RGB24, "
                          L"Format:FORMAT_VideoInfo",
                          LOG_INFO));

    // Resetting entry 0 ends the list there: RGB24 is no longer accepted.
    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(0, &yuy2));
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, grabber->CheckInputType(&offered));

    // A format type in the entry must match; a null subtype takes any subtype.
    CMediaType withFormat = videoType(MEDIASUBTYPE_RGB24, FORMAT_VideoInfo2);
    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(0, &withFormat));
    EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, grabber->CheckInputType(&offered));
    CMediaType anyVideo = videoType(GUID_NULL);
    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(1, &anyVideo));
    EXPECT_EQ(S_OK, grabber->CheckInputType(&offered));

    // A null type at index 0 empties the list.
    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(0, nullptr));
    EXPECT_EQ(S_OK, grabber->CheckInputType(&audio));
}

TEST_F(CSampleGrabberTest, AcceptedListIndexRulesAndPinProposals) {
    CMediaType yuy2 = videoType(MEDIASUBTYPE_YUY2), rgb24 = videoType(MEDIASUBTYPE_RGB24);
    EXPECT_EQ(E_INVALIDARG, grabber->SetAcceptedMediaType(10, &yuy2));
    EXPECT_EQ(E_INVALIDARG, grabber->SetAcceptedMediaType(-1, &yuy2));
    EXPECT_EQ(E_INVALIDARG, grabber->SetAcceptedMediaType(1, nullptr));
    EXPECT_EQ(S_OK, grabber->SetAcceptedMediaType(-3, nullptr));
    for (int i = 0; i < 10; ++i) ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(i, i % 2 ? &rgb24 : &yuy2));

    CMediaType mt;
    EXPECT_EQ(E_INVALIDARG, pin()->GetMediaType(-1, &mt));
    EXPECT_EQ(VFW_S_NO_MORE_ITEMS, pin()->GetMediaType(10, &mt));
    ASSERT_EQ(S_OK, pin()->GetMediaType(9, &mt));
    EXPECT_EQ(MEDIASUBTYPE_RGB24, mt.subtype);

    ASSERT_EQ(S_OK, grabber->SetAcceptedMediaType(1, &rgb24));
    ComPtr<IEnumMediaTypes> types;
    ASSERT_EQ(S_OK, pin()->EnumMediaTypes(&types));
    AM_MEDIA_TYPE* got[4] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, types->Next(4, got, &fetched));
    ASSERT_EQ(2u, fetched);
    EXPECT_EQ(MEDIASUBTYPE_YUY2, got[0]->subtype);
    EXPECT_EQ(MEDIASUBTYPE_RGB24, got[1]->subtype);
    for (ULONG i = 0; i < fetched; ++i) DeleteMediaType(got[i]);
}

TEST_F(CSampleGrabberTest, IdentityAndConnectionState) {
    ComPtr<IGrabberSample> iface;
    ASSERT_EQ(S_OK, grabber->QueryInterface(IID_IGrabberSample, reinterpret_cast<void**>(&iface)));
    EXPECT_TRUE(IsSameObject(iface.Get(), static_cast<IBaseFilter*>(grabber.Get())));
    CLSID clsid;
    grabber->GetClassID(&clsid);
    EXPECT_EQ(L"{2FA4F053-6D60-4CB0-9503-8E89234F3F73}", GuidToString(clsid));
    EXPECT_EQ(L"Input", pin()->Name());
    CMediaType mt;
    EXPECT_EQ(VFW_E_NOT_CONNECTED, grabber->GetConnectedMediaType(&mt));
}

}  // namespace
