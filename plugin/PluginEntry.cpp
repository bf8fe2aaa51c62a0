// The module's one exported symbol.
#include <exception>

#include "plugin/SkyvanePlugin.h"

extern "C" __attribute__((visibility("default"))) pelmo::streamer::InputPluginInterface*
InputPluginFactory() {
    try {
        return new SkyvanePlugin(SkyvaneParts{});
    } catch (const std::exception&) {
        // Out of memory (or no thread for the log): the host gets no object.
        return nullptr;
    }
}
