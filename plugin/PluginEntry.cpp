// The module's one exported symbol, and what the plug-in object needs of the platform: the
// virtual air's devices, the TV control and the read-back graph.

// First: the Video Control and the stream buffer both name the sink's class.
#include "tvctl/PlatformInterfaces.h"

#include <cstdlib>
#include <exception>
#include <mutex>

#include "base/Log.h"
#include "platform/vidctl/AirPlatform.h"
#include "plugin/BufferReadBackGraph.h"
#include "plugin/SkyvanePlugin.h"
#include "plugin/TVCtlAdapter.h"
#include "tvctl/StreamBufferOutput.h"

namespace {

std::once_flag gPlatformOnce;
// For the life of the process: the module is never unmapped, and TV control objects of any
// plug-in object use the air's devices.
AirPlatform* gPlatform = nullptr;

void openPlatform() {
    std::call_once(gPlatformOnce, [] {
        std::string why;
        gPlatform = AirPlatform::open(why).release();
        // The platform stays for the life of the process, but its set-top box leaves the bus
        // before the process ends: no thread of the module is left running through exit.
        if (gPlatform) std::atexit([] { gPlatform->leaveBus(); });
        // Last: the Video Control's stream-buffer output takes the sink's class slot.
        RegisterTVControlClasses();
        // Without a broadcast there are no tuners: every open then says so in the log.
        if (!gPlatform) error(L"SkyvanePlugin: no TV devices: %S", why.c_str());
    });
}

std::unique_ptr<TVControl> makeTVControl(const std::wstring& mediaType, const std::wstring& deviceName,
                                         FormatChangeHandler& handler) {
    openPlatform();
    return std::make_unique<TVCtlAdapter>(mediaType, deviceName, handler);
}

std::unique_ptr<ReadBackGraph> makeReadBackGraph() {
    openPlatform();
    return std::make_unique<BufferReadBackGraph>();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) pelmo::streamer::InputPluginInterface*
InputPluginFactory() {
    try {
        SkyvaneParts parts;
        parts.createTVControl = makeTVControl;
        parts.createReadBackGraph = makeReadBackGraph;
        return new SkyvanePlugin(std::move(parts));
    } catch (const std::exception&) {
        // Out of memory (or no thread for the log): the host gets no object.
        return nullptr;
    }
}
