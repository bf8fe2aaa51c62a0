// Device support rules: the tuner's device path, the list of explicitly unsupported tuners,
// and which encoder device sits on the tuner's card.
#include <tinyxml2.h>

#include <algorithm>
#include <cwctype>
#include <functional>

#include "base/CRegistry.h"
#include "base/Log.h"
#include "base/Text.h"
#include "platform/com/ClassRegistry.h"
#include "platform/devenum/DevEnum.h"
#include "tvctl/CTVCtl.h"

namespace {

const wchar_t* const kExceptionsFile = L"bin/Plugins/Skyvane/deviceExceptions.xml";
constexpr size_t kMaxEncoderPaths = 64;

std::wstring lowerCase(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

// The tuner's and the encoder's interfaces of one card differ only after the last '#'.
std::wstring cutAtLastHash(const std::wstring& path) {
    size_t hash = path.rfind(L'#');
    return hash == std::wstring::npos ? path : path.substr(0, hash);
}

// Calls `each` with every device moniker of a category, in enumeration order, until it answers
// false. A category that cannot be enumerated or is empty has no devices; only a failure to
// create the device enumerator itself is returned.
HRESULT forEachDevice(REFGUID category, const std::function<bool(IMoniker*)>& each) {
    ComPtr<ICreateDevEnum> devEnum;
    HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                  reinterpret_cast<void**>(&devEnum));
    if (FAILED(hr)) return hr;
    ComPtr<IEnumMoniker> monikers;
    if (devEnum->CreateClassEnumerator(category, &monikers, 0) != S_OK || !monikers) return S_OK;
    monikers->Reset();
    ComPtr<IMoniker> moniker;
    while (monikers->Next(1, &moniker, nullptr) == S_OK) {
        if (!each(moniker.Get())) break;
    }
    return S_OK;
}

bool readDevicePath(IPropertyBag* bag, std::wstring& path) {
    CComVariant value;
    value.vt = VT_BSTR;
    value.bstrVal = nullptr;
    if (FAILED(bag->Read(L"DevicePath", &value, nullptr)) || value.vt != VT_BSTR || !value.bstrVal)
        return false;
    path.assign(value.bstrVal, SysStringLen(value.bstrVal));
    return true;
}

bool readDevicePath(IMoniker* moniker, std::wstring& path) {
    ComPtr<IPropertyBag> bag;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag))) ||
        !bag)
        return false;
    return readDevicePath(bag.Get(), path);
}

}  // namespace

bool CTVCtl::getTunerDevicePath(int32_t index, std::wstring& path) {
    bool found = false;
    int32_t at = 0;
    forEachDevice(KSCATEGORY_TVTUNER, [&](IMoniker* moniker) {
        if (at++ != index) return true;
        ComPtr<IPropertyBag> bag;
        if (SUCCEEDED(
                moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&bag))) &&
            bag) {
            found = true;
            if (readDevicePath(bag.Get(), path)) info(L"TVTUNER DevicePath id %s", path.c_str());
        }
        return false;
    });
    return found;
}

bool CTVCtl::isTVTunerSupported(const std::wstring& devicePath) {
    std::wstring installDir;
    if (!readRegistryString(L"Software\\Kelvarin\\Pelmo", L"InstallDir", installDir)) return true;
    std::wstring file = installDir + L'/' + kExceptionsFile;
    tinyxml2::XMLDocument doc;
    if (doc.LoadFile(WideToUtf8(file).c_str()) != tinyxml2::XML_SUCCESS) return true;
    const tinyxml2::XMLElement* root = doc.FirstChildElement();
    if (!root) return true;
    for (const tinyxml2::XMLElement* entry = root->FirstChildElement(); entry;
         entry = entry->NextSiblingElement()) {
        // Of several deviceID elements in one entry the last counts.
        const char* text = nullptr;
        for (const tinyxml2::XMLElement* id = entry->FirstChildElement("deviceID"); id;
             id = id->NextSiblingElement("deviceID"))
            text = id->GetText();
        if (!text || !*text) continue;
        std::wstring fragment = NarrowToWide(text);
        size_t at = devicePath.find(fragment);
        // A fragment at the very start of the path does not count.
        if (!fragment.empty() && at != std::wstring::npos && at > 0) {
            info(L"CTVCtl::isTVTunerSupported -- Not supported: %s %s", fragment.c_str(), devicePath.c_str());
            return false;
        }
    }
    return true;
}

HRESULT CTVCtl::GetEncoderPosition(int32_t deviceIndex, int32_t& position) {
    position = -1;
    std::wstring tunerPath;
    if (!getTunerDevicePath(deviceIndex, tunerPath)) return E_FAIL;
    if (!isTVTunerSupported(tunerPath)) return E_ACCESSDENIED;
    tunerPath = lowerCase(tunerPath);
    size_t hash = tunerPath.rfind(L'#');
    if (hash != std::wstring::npos && hash > 0) tunerPath = tunerPath.substr(0, hash);

    int32_t running = 0;
    std::vector<std::wstring> encoderPaths;
    HRESULT hr = forEachDevice(KSCATEGORY_ENCODER, [&](IMoniker* moniker) {
        std::wstring path;
        if (readDevicePath(moniker, path)) {
            info(L"ENCODER DevicePath id %s", path.c_str());
            path = cutAtLastHash(lowerCase(path));
            // Beyond the list's size further encoders are compared but not remembered.
            if (encoderPaths.size() < kMaxEncoderPaths) encoderPaths.push_back(path);
            if (path == tunerPath) {
                position = running;
                return false;
            }
        }
        ++running;
        return true;
    });
    if (FAILED(hr)) return hr;
    if (position >= 0) return 0;

    hr = forEachDevice(KSCATEGORY_MULTIPLEXER, [&](IMoniker* moniker) {
        std::wstring path;
        if (readDevicePath(moniker, path)) {
            info(L"MULTIPLEXER DevicePath id %s", path.c_str());
            path = lowerCase(path);
            size_t at = path.rfind(L'#');
            if (at != std::wstring::npos && at > 0) {
                path = path.substr(0, at);
                if (std::find(encoderPaths.begin(), encoderPaths.end(), path) != encoderPaths.end())
                    return true;
                info(L"Found a  new MULTIPLEXER with this DevicePath id %s", path.c_str());
                if (path == tunerPath) {
                    position = running;
                    return false;
                }
            }
        }
        ++running;
        return true;
    });
    if (FAILED(hr)) return hr;
    return 0;
}
