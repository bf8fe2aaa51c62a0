// Device rules on the demo air's analog cards: A has an encoder, B's encoder registers only as
// a multiplexer, C has none. The exceptions file refuses tuners; the encoder position picks the
// card's own encoder, and the build test drops an encoder that does not fit.
#include "tuning/MediaType.h"
#include "tvctl/TVCtlTestSupport.h"

using namespace tvtest;

namespace {

const char* const kCardA = "ven_14f1&amp;dev_8800";
const char* const kCardB = "ven_4444&amp;dev_0016";
const char* const kCardC = "ven_109e&amp;dev_036e";
const wchar_t* const kTunerCPath =
    L"\\\\?\\pci#ven_109e&dev_036e&subsys_00000000&rev_11#4&3c4d5e6f&0&10e0#{a799a800-a46d-11d0-a18c-"
    L"00a02401dcd4}";

class DeviceRules : public TVCtlWorld {
protected:
    int32_t position(CTVCtl& tv, int32_t index, HRESULT expected = S_OK) {
        int32_t at = 99;
        EXPECT_EQ(expected, tv.GetEncoderPosition(index, at)) << "tuner " << index;
        return at;
    }
    HRESULT start(const std::string& catalogue) {
        openAir(8, catalogue);
        tv = std::make_unique<CTVCtl>(kMediaTypeAnalog, L"", nullptr);
        std::wstring buffer;
        HRESULT tuned;
        return tv->StartTimeShift(L"3", buffer, tuned);
    }
    std::unique_ptr<CTVCtl> tv;
};

TEST_F(DeviceRules, EachCardGetsItsOwnEncoderPositionOrNone) {
    openAir(8);
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    EXPECT_EQ(0, position(tv, 0));  // card A: the first encoder
    EXPECT_EQ(1, position(tv, 1));  // card B: after every encoder, in the multiplexer pass
    EXPECT_TRUE(log->has(3,
                         L"Found a  new MULTIPLEXER with this DevicePath id "
                         L"\\\\?\\pci#ven_4444&dev_0016&subsys_88010070&rev_01#4&2b3c4d5e&0&08e0"));
    EXPECT_EQ(-1, position(tv, 2));          // card C: nothing matches, and that is no failure
    EXPECT_EQ(-1, position(tv, 3, E_FAIL));  // no fourth tuner
    std::wstring path;
    EXPECT_TRUE(tv.getTunerDevicePath(2, path));
    EXPECT_EQ(kTunerCPath, path);
}

TEST_F(DeviceRules, AMultiplexerThatIsAlsoAnEncoderTakesNoPosition) {
    // Card D registers its encoder in both categories.
    const std::string cardD = "\\\\?\\pci#ven_5555&amp;dev_0001&amp;subsys_1#4&amp;9&amp;0&amp;18e0#";
    std::string catalogue = reorderedCatalogue(
        folder.path(), {kCardA, kCardB, kCardC},
        "<device category=\"tvtuner\" receives=\"analog\" name=\"Tuner D\" path=\"" + cardD +
            "{a799a800-a46d-11d0-a18c-00a02401dcd4}\"/>\n"
            "<device category=\"encoder\" name=\"Encoder D\" path=\"" +
            cardD + "{19689bf6-c384-48fd-ad51-90e58c79f70b}\"/>\n" +
            "<device category=\"multiplexer\" name=\"Multiplexer D\" path=\"" + cardD +
            "{7a5de1d3-01a1-452c-b481-4fa2b96271e8}\"/>\n");
    openAir(8, catalogue);
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    EXPECT_EQ(1, position(tv, 3));  // D: the second encoder
    EXPECT_EQ(2, position(tv, 1));  // B: after both encoders; D's multiplexer is not counted
}

TEST_F(DeviceRules, TheShippedExceptionsFileRefusesCardCOnly) {
    setInstallDir(SKYVANE_BINARY_DIR "/data/");
    openAir(8);
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    EXPECT_EQ(0, position(tv, 0));
    EXPECT_EQ(1, position(tv, 1));
    EXPECT_EQ(-1, position(tv, 2, E_ACCESSDENIED));
    EXPECT_TRUE(log->has(
        3, std::wstring(L"CTVCtl::isTVTunerSupported -- Not supported: ven_109e&dev_036e ") + kTunerCPath));
}

TEST_F(DeviceRules, ExceptionFragmentsMatchCaseSensitivelyAfterThePathsStart) {
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    const std::wstring path = L"\\\\?\\pci#ven_1234&dev_0001#4&1#{a799a800-a46d-11d0-a18c-00a02401dcd4}";
    // No install folder, no file: everything is supported.
    EXPECT_TRUE(tv.isTVTunerSupported(path));
    writeExceptions("<x><entry><deviceID>ven_1234</deviceID></entry></x>");
    EXPECT_FALSE(tv.isTVTunerSupported(path));
    EXPECT_TRUE(tv.isTVTunerSupported(L"\\\\?\\pci#VEN_1234&dev_0001#4&1#{x}"));
    EXPECT_TRUE(tv.isTVTunerSupported(L"ven_1234&dev_0001"));  // at the very start: no match

    // The last deviceID of an entry counts; names, other elements and attributes are notes.
    writeExceptions(
        "<list><a note='x'><deviceID>ven_1234</deviceID><deviceID>dev_0002</deviceID></a>"
        "<b><name>ven_1234</name><deviceID></deviceID></b><c/></list>");
    EXPECT_TRUE(tv.isTVTunerSupported(path));
    EXPECT_FALSE(tv.isTVTunerSupported(L"\\\\?\\pci#ven_1234&dev_0002#4&1#{x}"));

    // Damaged or empty files refuse nothing.
    for (const char* bad :
         {"", "<x><entry><deviceID>ven_1234</deviceID>", "\x01\xff\xfe<<", "<!-- only -->"}) {
        writeExceptions(bad);
        EXPECT_TRUE(tv.isTVTunerSupported(path)) << bad;
    }
}

TEST_F(DeviceRules, ACardWithItsEncoderAsMultiplexerStartsWithIt) {
    ASSERT_EQ(S_OK, start(reorderedCatalogue(folder.path(), {kCardB})));
    EXPECT_TRUE(log->has(3, L"Addencoder indexes don't match breaking cur and ctl idxs are 0 1"));
    EXPECT_TRUE(log->has(3, L"added an  MSVidEncoder  Skyvane Virtual MPEG Multiplexer B"));
    EXPECT_TRUE(log->has(3, L"First addEncoder succeeded 0"));
}

TEST_F(DeviceRules, AnEncoderOfAnotherCardIsDroppedByTheBuildTest) {
    openAir(8, reorderedCatalogue(folder.path(), {kCardB}));
    CTVCtl tv(kMediaTypeAnalog, L"", nullptr);
    ASSERT_EQ(S_OK, tv.activateDevice());
    ASSERT_EQ(S_OK, tv.activateOutput());
    // Any encoder: card A's comes first, does not build with tuner B and is dropped.
    ASSERT_EQ(S_OK, tv.AddEncoder(false));
    EXPECT_TRUE(log->has(3, L"adding a video encoder Skyvane Virtual MPEG Encoder A"));
    EXPECT_EQ(1, log->count(L"reset of activefeatures returned 0"));
    EXPECT_TRUE(log->has(3, L"added an  MSVidEncoder  Skyvane Virtual MPEG Multiplexer B"));
    ComPtr<IMSVidFeatures> active;
    ASSERT_EQ(S_OK, tv.videoControl()->get_FeaturesActive(&active));
    LONG count = 0;
    active->get_Count(&count);
    EXPECT_EQ(1, count);
    // Removed again, and a second removal finds nothing to remove.
    EXPECT_EQ(S_OK, tv.removeEncoder());
    active = nullptr;
    tv.videoControl()->get_FeaturesActive(&active);
    active->get_Count(&count);
    EXPECT_EQ(0, count);
    EXPECT_EQ(S_OK, tv.removeEncoder());
    EXPECT_EQ(S_OK, tv.deActivateOutput());
    EXPECT_EQ(S_OK, tv.deActivateOutput());
}

TEST_F(DeviceRules, ACardWithoutEncoderFailsAndAnExcludedOneIsRefused) {
    EXPECT_EQ(E_FAIL, start(reorderedCatalogue(folder.path(), {kCardC})));
    EXPECT_TRUE(log->has(1, L"First addEncoder failed 80004005"));
    EXPECT_TRUE(log->has(1, L"Second addEncoder failed 80004005"));
    // Both other cards' encoders were tried and dropped.
    EXPECT_EQ(2, log->count(L"reset of activefeatures returned"));
    tv.reset();
    devices.reset();
    log->clear();

    setInstallDir(SKYVANE_BINARY_DIR "/data/");
    EXPECT_EQ(E_ACCESSDENIED, start(reorderedCatalogue(folder.path(), {kCardC})));
    EXPECT_TRUE(log->has(3, L"CTVCtl::startTimeShift : tuner is explicitely not supported 80070005"));
    EXPECT_EQ(0, log->count(L"addEncoder failed"));
}

TEST_F(DeviceRules, ThePlatformsSoftwareEncoderIsNeverAdded) {
    // Card C with only the software encoder on its own path.
    const std::string software =
        "<device category=\"encoder\" name=\"Microsoft MPEG-2 Encoder\" "
        "path=\"\\\\?\\pci#ven_109e&amp;dev_036e&amp;subsys_00000000&amp;rev_11#4&amp;3c4d5e6f&amp;0&amp;"
        "10e0#{19689bf6-c384-48fd-ad51-90e58c79f70b}\"/>\n";
    EXPECT_EQ(E_FAIL, start(reorderedCatalogue(folder.path(), {kCardC}, software)));
    EXPECT_EQ(2, log->count(L"skip encoder Microsoft MPEG-2 Encoder"));
}

}  // namespace
