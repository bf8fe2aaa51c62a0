#include "tuning/MediumString.h"

#include <climits>

#include "base/Log.h"
#include "tuning/MediaType.h"

std::vector<std::wstring> MediumString::fields(const std::wstring& medium, size_t count) {
    std::vector<std::wstring> out;
    out.reserve(count);
    size_t cursor = 0;
    const size_t len = medium.size();
    while (out.size() < count) {
        while (cursor < len && medium[cursor] == L'/') {
            ++cursor;
        }
        if (cursor >= len) {
            out.emplace_back();
            continue;
        }
        size_t end = medium.find(L'/', cursor);
        if (end == std::wstring::npos) {
            end = len;
        }
        out.push_back(medium.substr(cursor, end - cursor));
        cursor = end;
    }
    return out;
}

int32_t MediumString::readInt(const std::wstring& field) {
    size_t i = 0;
    const size_t len = field.size();
    while (i < len && (field[i] == L' ' || (field[i] >= L'\t' && field[i] <= L'\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < len && (field[i] == L'+' || field[i] == L'-')) {
        negative = field[i] == L'-';
        ++i;
    }
    int64_t value = 0;
    for (; i < len && field[i] >= L'0' && field[i] <= L'9'; ++i) {
        // Stop growing once past the range; the remaining digits cannot bring it back.
        if (value <= static_cast<int64_t>(INT32_MAX) + 1) {
            value = value * 10 + (field[i] - L'0');
        }
    }
    if (negative) {
        value = -value;
    }
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return static_cast<int32_t>(value);
}

HRESULT MediumString::parseDvbt(const std::wstring& medium, DvbtChannel& channel) {
    std::vector<std::wstring> f = fields(medium, 5);
    if (f[4].empty()) {
        error(L"Bad DVBT medium format %s", medium.c_str());
        return E_FAIL;
    }
    channel.frequency = readInt(f[0]);
    channel.bandwidth = readInt(f[1]);
    channel.onid = readInt(f[2]);
    channel.tsid = readInt(f[3]);
    channel.sid = readInt(f[4]);
    return S_OK;
}

HRESULT MediumString::parseAtsc(const std::wstring& medium, AtscChannel& channel) {
    std::vector<std::wstring> f = fields(medium, 3);
    if (f[2].empty()) {
        error(L"Bad ATSC medium format %s", medium.c_str());
        return E_FAIL;
    }
    channel.physical = readInt(f[0]);
    channel.major = readInt(f[1]);
    channel.minor = readInt(f[2]);
    return S_OK;
}

int32_t MediumString::parseAnalog(const std::wstring& medium) {
    return readInt(medium);
}

std::wstring MediumString::format(const DvbtChannel& c) {
    return std::to_wstring(c.frequency) + L'/' + std::to_wstring(c.bandwidth) + L'/' +
           std::to_wstring(c.onid) + L'/' + std::to_wstring(c.tsid) + L'/' + std::to_wstring(c.sid);
}

std::wstring MediumString::format(const AtscChannel& c) {
    return std::to_wstring(c.physical) + L'/' + std::to_wstring(c.major) + L'/' + std::to_wstring(c.minor);
}

std::wstring MediumString::defaultFor(const std::wstring& mediaType) {
    if (mediaType == kMediaTypeAnalog) {
        return L"4";
    }
    if (mediaType == kMediaTypeAtsc) {
        return L"4/-1/-1";
    }
    if (mediaType == kMediaTypeDvbt) {
        return L"49000/-1/-1/-1/-1";
    }
    return std::wstring();
}
