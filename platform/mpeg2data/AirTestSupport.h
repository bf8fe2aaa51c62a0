// Test helper: a broadcast on air, a Video Control with a digital tuner as its input and its
// graph built, and the guide-data filters of that graph (used by the tests of the section
// source and of the scan driver; not part of any library).
#pragma once

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/bda/BdaClasses.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/mpeg2data/Mpeg2Data.h"
#include "platform/mpeg2data/TransportInformationFilter.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "platform/vidctl/VidCtlInterfaces.h"

inline const std::string kDemoCatalogue = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";

inline bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

class AirGraphTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterGraphClasses();
        RegisterDevEnumClasses();
        RegisterBdaClasses();
        RegisterVidCtlClasses();
    }
    void TearDown() override {
        graph = nullptr;
        if (control) control->Decompose();
        control = nullptr;
        devices.reset();
        air.reset();
    }

    // Opens the broadcast at a speed, registers its devices and makes a Video Control.
    void openAir(double speed, const std::string& catalogue = kDemoCatalogue) {
        std::string error;
        air = AirBroadcast::open(catalogue, error);
        ASSERT_TRUE(air) << error;
        air->setSpeed(speed);
        devices = RegisterAirDevices(air);
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                         reinterpret_cast<void**>(&control)));
    }

    const AirDevice* tunerDevice(AirSystem system) {
        const std::string receives = system == AirSystem::ATSC ? "atsc" : "dvbt";
        for (const AirDevice& d : air->catalogue().devices())
            if (d.receives == receives) return &d;
        return nullptr;
    }
    std::shared_ptr<AirTuner> tunerOf(AirSystem system) {
        const AirDevice* d = tunerDevice(system);
        return d ? air->tuner(d->friendlyName) : nullptr;
    }

    // Makes the system's tuner the control's input and builds the graph (as a time shift does).
    void buildGraph(AirSystem system) {
        const AirDevice* wanted = tunerDevice(system);
        ASSERT_TRUE(wanted);
        control->Decompose();
        ComPtr<IMSVidInputDevices> inputs;
        ASSERT_EQ(S_OK, control->_InputsAvailable(&KSCATEGORY_BDA_NETWORK_TUNER, &inputs));
        LONG count = 0;
        inputs->get_Count(&count);
        bool found = false;
        for (LONG i = 0; i < count && !found; ++i) {
            ComPtr<IMSVidInputDevice> device;
            inputs->get_Item(CComVariant(i), &device);
            ComPtr<IMSVidDevice> d;
            device.As(&d);
            CComBSTR n;
            d->get_Name(&n);
            if (n.str() != wanted->friendlyName) continue;
            ASSERT_EQ(S_OK, control->put_InputActive(device.Get()));
            found = true;
        }
        ASSERT_TRUE(found);
        ASSERT_EQ(S_OK, control->Build());
        ComPtr<IMSVidGraphSegmentContainer> container;
        ASSERT_EQ(S_OK, control.As(&container));
        ComPtr<IGraphBuilder> builder;
        ASSERT_EQ(S_OK, container->get_Graph(&builder));
        graph = builder;
    }

    void tune(const AirMultiplex& m) {
        std::shared_ptr<AirTuner> tuner = tunerOf(m.system);
        ASSERT_TRUE(tuner);
        if (m.system == AirSystem::ATSC)
            ASSERT_EQ(S_OK, tuner->tuneAtsc(m.physicalChannel));
        else
            ASSERT_EQ(S_OK, tuner->tuneDvbt(m.frequencyKHz + m.offsetKHz, m.bandwidthMHz));
    }

    // The first filter of the graph that offers the interface.
    template <class I>
    ComPtr<I> offering() {
        ComPtr<IEnumFilters> filters;
        if (!graph || FAILED(graph->EnumFilters(&filters))) return nullptr;
        ComPtr<IBaseFilter> filter;
        while (filters->Next(1, &filter, nullptr) == S_OK) {
            ComPtr<I> found;
            if (SUCCEEDED(filter->QueryInterface(I::iid(), reinterpret_cast<void**>(&found))) && found)
                return found;
        }
        return nullptr;
    }
    ComPtr<IMpeg2Data> sectionSource() { return offering<IMpeg2Data>(); }
    ComPtr<IBaseFilter> transportInformationFilter() {
        ComPtr<IBaseFilter> filter;
        if (graph) graph->FindFilterByName(TransportInformationFilter::kName, &filter);
        return filter;
    }

    // A catalogue with one DVB-T tuner and each capture as a multiplex at the given frequency
    // (kHz), in this test's own folder.
    std::string captureCatalogue(const std::string& folder,
                                 const std::vector<std::pair<int, std::string>>& captures) {
        std::string xml =
            "<broadcast speed=\"1\"><devices>"
            "<device category=\"networktuner\" receives=\"dvbt\" name=\"Capture Tuner\" "
            "path=\"\\\\?\\usb#vid_2040&amp;pid_7061#cap1#{71985f48-1ca1-11d3-9cc8-00c04f7971e0}\"/>"
            "<device category=\"networktuner\" receives=\"atsc\" name=\"Capture ATSC Tuner\" "
            "path=\"\\\\?\\usb#vid_2040&amp;pid_7071#cap2#{71985f48-1ca1-11d3-9cc8-00c04f7971e0}\"/>"
            "</devices>";
        for (const auto& [frequency, file] : captures) {
            if (frequency < 100)
                xml += "<atsc channel=\"" + std::to_string(frequency) + "\" file=\"" + folder + file +
                       "\" lock=\"100\"/>";
            else
                xml += "<dvbt frequency=\"" + std::to_string(frequency) + "\" bandwidth=\"8\" file=\"" +
                       folder + file + "\" lock=\"100\"/>";
        }
        xml += "</broadcast>";
        const std::string path = m_folder / "broadcast.xml";
        std::ofstream(path) << xml;
        return path;
    }

    std::shared_ptr<AirBroadcast> air;
    std::unique_ptr<AirDeviceRegistration> devices;
    ComPtr<IMSVidCtl> control;
    ComPtr<IGraphBuilder> graph;

private:
    TempFolder m_folder{"airgraph"};
};
