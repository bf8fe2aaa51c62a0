// Test support for the tune requests: the demo broadcast with its devices, the platform's
// classes, a Video Control with the tuner of the media type active, a registry of the test's
// own, and a log that keeps its lines.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/CBBLog.h"
#include "base/CRegistry.h"
#include "base/Format.h"
#include "base/Log.h"
#include "base/TempFolder.h"
#include "platform/air/AirBroadcast.h"
#include "platform/air/AirTuner.h"
#include "platform/bda/BdaClasses.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "platform/devenum/DevEnumClasses.h"
#include "platform/graph/GraphClasses.h"
#include "platform/vidctl/VidCtlClasses.h"
#include "tuning/BDATuneRequest.h"
#include "tuning/MediaType.h"

// Keeps "level:text" lines instead of writing a file; every level is on.
class TuningLog : public CBBLog {
public:
    TuningLog() : CBBLog(L"tuning-test.log", false, 1 << 20) { setLevel(LOG_DEBUG); }
    void vlog(const wchar_t* fmt, va_list args, int level) override {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(std::to_wstring(level) + L":" + VFormatWideString(fmt, args));
    }
    bool has(int level, const std::wstring& text) {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& l : m_lines)
            if (l == std::to_wstring(level) + L":" + text) return true;
        return false;
    }
    int count(const std::wstring& prefix) {
        std::lock_guard<std::mutex> guard(m_lock);
        int n = 0;
        for (auto& l : m_lines)
            if (l.find(prefix) != std::wstring::npos) ++n;
        return n;
    }
    std::wstring all() {
        std::lock_guard<std::mutex> guard(m_lock);
        std::wstring out;
        for (auto& l : m_lines) out += l + L"\n";
        return out;
    }
    void clear() {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }

private:
    std::mutex m_lock;
    std::vector<std::wstring> m_lines;
};

inline const std::string kDemoBroadcast = std::string(SKYVANE_BINARY_DIR) + "/data/demo/broadcast.xml";
inline const wchar_t* kDvbtTunerName = L"Skyvane Virtual DVB-T Tuner";
inline const wchar_t* kAtscTunerName = L"Skyvane Virtual ATSC Tuner";
inline const wchar_t* kAnalogTunerName = L"Skyvane Virtual Analog Tuner A";

class OnAir : public ::testing::Test {
protected:
    void SetUp() override {
        RegisterGraphClasses();
        RegisterDevEnumClasses();
        RegisterBdaClasses();
        RegisterVidCtlClasses();
        setCurrentLogger(log);
    }
    void TearDown() override {
        ClassRegistry::instance().clearFailures();
        // The real classes again, in case a test replaced one.
        RegisterBdaClasses();
        if (control) control->Decompose();
        control = nullptr;
        devices.reset();
        AirBroadcast::setInstance(nullptr);
        setCurrentLogger(nullptr);
        if (HasFailure()) std::wcerr << log->all();
    }

    // Opens the broadcast at a speed, registers its devices and makes a Video Control.
    void openAir(double speed, const std::string& catalogue = kDemoBroadcast) {
        std::string error;
        air = AirBroadcast::open(catalogue, error);
        ASSERT_TRUE(air) << error;
        air->setSpeed(speed);
        // The control opens this broadcast for the process, as it would the installed one.
        AirBroadcast::setInstance(air);
        devices = RegisterAirDevices(air);
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MSVidCtl, nullptr, CLSCTX_INPROC_SERVER, IID_IMSVidCtl,
                                         reinterpret_cast<void**>(&control)));
    }

    // Makes the named input of the category the control's active input.
    void activate(const GUID& category, const std::wstring& name) {
        ComPtr<IMSVidInputDevices> inputs;
        ASSERT_EQ(S_OK, control->_InputsAvailable(&category, &inputs));
        LONG count = 0;
        inputs->get_Count(&count);
        for (LONG i = 0; i < count; ++i) {
            ComPtr<IMSVidInputDevice> device;
            inputs->get_Item(CComVariant(i), &device);
            ComPtr<IMSVidDevice> d;
            device.As(&d);
            CComBSTR n;
            d->get_Name(&n);
            if (n.str() != name) continue;
            ASSERT_EQ(S_OK, control->put_InputActive(device.Get()));
            return;
        }
        FAIL() << "no such input";
    }

    void setting(const wchar_t* name, int32_t value) {
        ASSERT_TRUE(CRegistry::getInstance()->writeDWORD(kTunerSettingsKey, name, value));
    }

    std::shared_ptr<AirTuner> tuner(const wchar_t* name) { return air->tuner(name); }

    TempFolder folder{"tuning_test"};
    ScopedEnv registryEnv{"PELMO_REGISTRY", folder.path()};
    ScopedEnv appDataEnv{"PELMO_APPDATA", folder.path()};
    std::shared_ptr<TuningLog> log = std::make_shared<TuningLog>();
    std::shared_ptr<AirBroadcast> air;
    std::unique_ptr<AirDeviceRegistration> devices;
    ComPtr<IMSVidCtl> control;
};

// A fake clock for the signal test: sleeping advances it by `step` (and may wait for the air).
struct SignalClock {
    int64_t now = 0;
    int sleeps = 0;
    int step = 500;
    std::function<void()> whileAsleep;
    void attach(BDATuneRequest& request) {
        request.setSignalTiming([this]() { return now; },
                                [this](int ms) {
                                    ++sleeps;
                                    now += step > 0 ? step : ms;
                                    if (whileAsleep) whileAsleep();
                                });
    }
};
