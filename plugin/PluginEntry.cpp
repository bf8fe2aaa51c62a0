// The module's one exported symbol.
#include <exception>

#include "platform/graph/GraphClasses.h"
#include "platform/sbe/SbeClasses.h"
#include "plugin/BufferReadBackGraph.h"
#include "plugin/SkyvanePlugin.h"

namespace {

std::unique_ptr<ReadBackGraph> makeReadBackGraph() {
    // The graph, its builder, renderers, decoders and the stream-buffer source are made by class.
    RegisterGraphClasses();
    RegisterSbeClasses();
    return std::make_unique<BufferReadBackGraph>();
}

}  // namespace

extern "C" __attribute__((visibility("default"))) pelmo::streamer::InputPluginInterface*
InputPluginFactory() {
    try {
        SkyvaneParts parts;
        parts.createReadBackGraph = makeReadBackGraph;
        return new SkyvanePlugin(std::move(parts));
    } catch (const std::exception&) {
        // Out of memory (or no thread for the log): the host gets no object.
        return nullptr;
    }
}
