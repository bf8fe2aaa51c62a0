// Device paths and medium strings from arbitrary bytes: nothing may crash, and what the
// readers answer must hang together.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/Text.h"
#include "plugin/DevicePath.h"
#include "plugin/SkyvanePlugin.h"
#include "tuning/MediumString.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::wstring text = NarrowToWide(reinterpret_cast<const char*>(bytes), size);

    // Joining the pieces again gives the text back.
    std::vector<std::wstring> pieces = DevicePath::split(text, DevicePath::kSeparator);
    check(!pieces.empty());
    std::wstring joined = pieces[0];
    for (size_t i = 1; i < pieces.size(); ++i) joined += DevicePath::kSeparator + pieces[i];
    check(joined == text);

    check(DevicePath::removeAll(text, DevicePath::kChannelPrefix).find(DevicePath::kChannelPrefix) ==
          std::wstring::npos);

    std::wstring mediaType, medium;
    DevicePath::readChannelPath(text, mediaType, medium);

    std::wstring channelPath;
    if (SUCCEEDED(DevicePath::channelPathForTuner(text, channelPath))) {
        check(DevicePath::readChannelPath(channelPath, mediaType, medium));
        check(medium == MediumString::defaultFor(mediaType));
    }

    // A medium read and written again reads back to the same channel.
    DvbtChannel dvbt;
    if (SUCCEEDED(MediumString::parseDvbt(text, dvbt))) {
        DvbtChannel again;
        check(SUCCEEDED(MediumString::parseDvbt(MediumString::format(dvbt), again)));
        check(again.frequency == dvbt.frequency && again.bandwidth == dvbt.bandwidth &&
              again.onid == dvbt.onid && again.tsid == dvbt.tsid && again.sid == dvbt.sid);
    }
    AtscChannel atsc;
    if (SUCCEEDED(MediumString::parseAtsc(text, atsc))) {
        AtscChannel again;
        check(SUCCEEDED(MediumString::parseAtsc(MediumString::format(atsc), again)));
        check(again.physical == atsc.physical && again.major == atsc.major && again.minor == atsc.minor);
    }
    MediumString::parseAnalog(text);

    // The requested extension always ends up replaced (or one added).
    std::wstring recording = SkyvanePlugin::recordingFileFor(text);
    check(recording.size() >= 7 && recording.compare(recording.size() - 7, 7, L".dvr-ms") == 0);
    return 0;
}
