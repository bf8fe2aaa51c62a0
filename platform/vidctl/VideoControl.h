// The Video Control: one tuner input, optional features (encoders) and outputs (sinks), built
// into one filter graph. Making one opens the air for the process (AirPlatform::acquire): its
// devices, and the set-top box on the bus, stay up while a Video Control lives. The graph holds the input's
// filter under the device's friendly name from the moment the input is made active, so lookups by name work
// before the first build.
#pragma once

#include <memory>
#include <vector>

#include "platform/vidctl/VidDevices.h"

class AirPlatform;

class VideoControl : public ComObject<IMSVidCtl, IMSVidGraphSegmentContainer> {
public:
    // The output device classes offered by _OutputsAvailable, in this order, when their layer
    // has registered them.
    static const std::vector<CLSID>& outputClasses();

    VideoControl();
    ~VideoControl() override;

    HRESULT get_State(MSVidCtlStateList* state) override;
    HRESULT get_Enabled(VARIANT_BOOL* enabled) override;
    HRESULT put_Enabled(VARIANT_BOOL enabled) override;
    HRESULT DisableAudio() override;
    HRESULT DisableVideo() override;
    HRESULT _InputsAvailable(const GUID* category, IMSVidInputDevices** inputs) override;
    HRESULT _OutputsAvailable(const GUID* category, IMSVidOutputDevices** outputs) override;
    HRESULT get_FeaturesAvailable(IMSVidFeatures** features) override;
    HRESULT get_InputActive(IMSVidInputDevice** input) override;
    HRESULT put_InputActive(IMSVidInputDevice* input) override;
    HRESULT get_OutputsActive(IMSVidOutputDevices** outputs) override;
    HRESULT put_OutputsActive(IMSVidOutputDevices* outputs) override;
    HRESULT get_FeaturesActive(IMSVidFeatures** features) override;
    HRESULT put_FeaturesActive(IMSVidFeatures* features) override;
    HRESULT View(VARIANT* v) override;
    // Connects input → features in order → the outputs (through a tee when there are several).
    // A part that cannot be connected
    // (an encoder of another card, an output that does not take what arrives) fails the build
    // with the connection's status, and the control stays unbuilt.
    HRESULT Build() override;
    // Builds first when needed.
    HRESULT Run() override;
    HRESULT Stop() override;
    // Stops and takes features and outputs out of the graph; the input stays.
    HRESULT Decompose() override;
    HRESULT get_Graph(IGraphBuilder** graph) override;

private:
    HRESULT ensureGraph();
    HRESULT addSegment(IUnknown* device, ComPtr<IBaseFilter>& filter);
    // A tee for the outputs, in the graph and fed from `upstream`.
    HRESULT addTee(const ComPtr<IPin>& upstream, ComPtr<IBaseFilter>& tee);
    HRESULT takeApart();

    std::shared_ptr<AirPlatform> m_platform;
    MSVidCtlStateList m_state = STATE_UNBUILT;
    VARIANT_BOOL m_enabled = VARIANT_TRUE;
    bool m_audio = true, m_video = true;
    ComPtr<IGraphBuilder> m_graph;
    ComPtr<IMSVidInputDevice> m_input;
    ComPtr<IBaseFilter> m_inputFilter;
    ComPtr<VidFeatures> m_features;
    ComPtr<VidOutputDevices> m_outputs;
    // Filters a build added (features and outputs), removed again on Decompose.
    std::vector<ComPtr<IBaseFilter>> m_built;
};
