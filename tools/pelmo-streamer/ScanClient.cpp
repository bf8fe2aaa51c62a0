#include "tools/pelmo-streamer/ScanClient.h"

#include "platform/hux/HuxWireFormat.h"

namespace pelmo::streamer {
namespace {

// Element i of a one-dimensional array of variants.
bool element(const VARIANT& array, LONG i, CComVariant& out) {
    if (array.vt != (VT_ARRAY | VT_VARIANT) || array.parray == nullptr) return false;
    LONG lo = 0, hi = -1;
    if (FAILED(SafeArrayGetLBound(array.parray, 1, &lo)) || FAILED(SafeArrayGetUBound(array.parray, 1, &hi)))
        return false;
    if (i < 0 || i > hi - lo) return false;
    LONG at = lo + i;
    return SUCCEEDED(SafeArrayGetElement(array.parray, &at, static_cast<VARIANT*>(&out)));
}

LONG count(const VARIANT& array) {
    if (array.vt != (VT_ARRAY | VT_VARIANT) || array.parray == nullptr) return -1;
    LONG lo = 0, hi = -1;
    if (FAILED(SafeArrayGetLBound(array.parray, 1, &lo)) || FAILED(SafeArrayGetUBound(array.parray, 1, &hi)))
        return -1;
    return hi - lo + 1;
}

bool text(const VARIANT& array, LONG i, std::string& out) {
    CComVariant v;
    if (!element(array, i, v) || v.vt != VT_BSTR) return false;
    out = v.bstrVal != nullptr ? HuxWireFormat::toUtf8(v.bstrVal, SysStringLen(v.bstrVal)) : "";
    return true;
}

bool integer(const VARIANT& array, LONG i, int& out) {
    CComVariant v;
    if (!element(array, i, v) || v.vt != VT_I4) return false;
    out = v.lVal;
    return true;
}

}  // namespace

ScanClient::ScanClient(std::string deviceName)
    : device(std::move(deviceName)), lastHeard(std::chrono::steady_clock::now()) {}

ScanClient::~ScanClient() {
    Disconnect();
}

HRESULT ScanClient::DeclareServices() {
    AddService(L"TVScanCallback", L"",
               new HuxSatelliteDelegateMember<ScanClient>(this, &ScanClient::progress));
    AddService(L"TVScanResult", L"", new HuxSatelliteDelegateMember<ScanClient>(this, &ScanClient::result));
    return S_OK;
}

bool ScanClient::readProgress(const VARIANT& args, ScanProgress& out) {
    return count(args) == 5 && integer(args, 0, out.current) && integer(args, 1, out.total) &&
           text(args, 2, out.name) && text(args, 3, out.path) && integer(args, 4, out.signal);
}

bool ScanClient::readResult(const VARIANT& args, std::string& deviceName, std::vector<ScanChannel>& out) {
    CComVariant items;
    if (count(args) != 2 || !text(args, 0, deviceName) || !element(args, 1, items)) return false;
    LONG n = count(items);
    if (n < 0) return false;
    out.clear();
    for (LONG i = 0; i < n; ++i) {
        CComVariant item;
        ScanChannel c;
        // Each item: name, path, signal, frequency.
        if (!element(items, i, item) || count(item) != 4 || !text(item, 0, c.name) ||
            !text(item, 1, c.path) || !integer(item, 2, c.signal) || !text(item, 3, c.frequency))
            return false;
        out.push_back(std::move(c));
    }
    return true;
}

HRESULT ScanClient::progress(const std::wstring&, VARIANT& args, VARIANT*) {
    ScanProgress p;
    bool ok = readProgress(args, p);
    {
        std::lock_guard<std::mutex> l(lock);
        lastHeard = std::chrono::steady_clock::now();
        if (!ok) ++badMessages;
    }
    heard.notify_all();
    if (ok && onProgress) onProgress(p);
    return S_OK;
}

HRESULT ScanClient::result(const std::wstring&, VARIANT& args, VARIANT*) {
    std::string from;
    std::vector<ScanChannel> list;
    bool ok = readResult(args, from, list);
    {
        std::lock_guard<std::mutex> l(lock);
        lastHeard = std::chrono::steady_clock::now();
        if (!ok) {
            ++badMessages;
        } else if (from == device) {
            found = std::move(list);
            done = true;
        }
    }
    heard.notify_all();
    return S_OK;
}

bool ScanClient::waitResult(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> l(lock);
    return heard.wait_until(l, deadline, [this] { return done; });
}

std::chrono::steady_clock::time_point ScanClient::lastHeardAt() {
    std::lock_guard<std::mutex> l(lock);
    return lastHeard;
}

std::vector<ScanChannel> ScanClient::channels() {
    std::lock_guard<std::mutex> l(lock);
    return found;
}

int ScanClient::malformed() {
    std::lock_guard<std::mutex> l(lock);
    return badMessages;
}

}  // namespace pelmo::streamer
