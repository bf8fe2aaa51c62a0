// Dates and the XML rendering of variants for logs.
#include <cmath>
#include <ctime>

#include "base/Format.h"
#include "base/VUtil.h"

namespace {

constexpr int64_t kDaysTo1970 = 25569;  // 1899-12-30 to 1970-01-01
constexpr int64_t kSecondsPerDay = 86400;

void line(std::wstring& out, const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    out += VFormatWideString(fmt, args);
    va_end(args);
}

std::wstring dateText(DATE date) {
    time_t t = static_cast<time_t>(VUtil::DateToSeconds(date));
    tm utc{};
    char buf[64];
    if (!gmtime_r(&t, &utc) || std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &utc) == 0) return L"?";
    return std::wstring(buf, buf + std::strlen(buf));
}

// Lists the elements of a typed array, each at the array's own indent.
template <typename T, typename Print>
void listElements(const VARIANT& v, const wchar_t* header, const std::wstring& indent, std::wstring& out,
                  Print print) {
    LONG count = VUtil::GetArrayLength(v);
    line(out, header, indent.c_str(), count);
    for (LONG i = 0; i < count; ++i) {
        T value;
        VUtil::GetElement(v, i, value);
        print(value);
    }
    line(out, L"%s</var>\r\n", indent.c_str());
}

void render(const VARIANT& v, int depth, std::wstring& out) {
    std::wstring indent(static_cast<size_t>(depth > 0 ? depth : 0) * 2, L' ');
    const wchar_t* in = indent.c_str();
    switch (v.vt) {
        case VT_EMPTY:
            line(out, L"%s<var vt=\"VT_EMPTY\" />\r\n", in);
            return;
        case VT_NULL:
            line(out, L"%s<var vt=\"VT_NULL\" />\r\n", in);
            return;
        case VT_I1:
            line(out, L"%s<var vt=\"VT_I1\">%hd</var>\r\n", in, static_cast<int>(v.cVal));
            return;
        case VT_UI1:
            line(out, L"%s<var vt=\"VT_UI1\">%hu</var>\r\n", in, static_cast<unsigned>(v.bVal));
            return;
        case VT_I2:
            line(out, L"%s<var vt=\"VT_I2\">%hd</var>\r\n", in, static_cast<int>(v.iVal));
            return;
        case VT_UI2:
            line(out, L"%s<var vt=\"VT_UI2\">%hu</var>\r\n", in, static_cast<unsigned>(v.uiVal));
            return;
        case VT_I4:
            line(out, L"%s<var vt=\"VT_I4\">%d</var>\r\n", in, v.lVal);
            return;
        case VT_UI4:
            line(out, L"%s<var vt=\"VT_UI4\">%lu</var>\r\n", in, v.ulVal);
            return;
        case VT_I8:
            line(out, L"%s<var vt=\"VT_I8\">%lld</var>\r\n", in, static_cast<long long>(v.llVal));
            return;
        case VT_UI8:
            line(out, L"%s<var vt=\"VT_UI8\">%llu</var>\r\n", in, static_cast<unsigned long long>(v.ullVal));
            return;
        case VT_R4:
            line(out, L"%s<var vt=\"VT_R4\">%f</var>\r\n", in, static_cast<double>(v.fltVal));
            return;
        case VT_R8:
            line(out, L"%s<var vt=\"VT_R8\">%f</var>\r\n", in, v.dblVal);
            return;
        case VT_DATE:
            line(out, L"%s<var vt=\"VT_DATE\">%s</var>\r\n", in, dateText(v.date).c_str());
            return;
        case VT_BSTR: {
            std::wstring text = v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : std::wstring();
            line(out, L"%s<var vt=\"VT_BSTR\">%s</var>\r\n", in, text.c_str());
            return;
        }
        case VT_BOOL:
            line(out, L"%s<var vt=\"VT_BOOL\">%s</var>\r\n", in, v.boolVal ? L"TRUE" : L"FALSE");
            return;
        case VT_ARRAY | VT_I2:
            listElements<SHORT>(v, L"%s<var vt=\"VT_ARRAY|VT_I2\" count=\"%d\">\r\n", indent, out,
                                [&](SHORT x) { line(out, L"%s<var vt=\"VT_I2\">%d</var>\r\n", in, x); });
            return;
        case VT_ARRAY | VT_UI2:
            listElements<USHORT>(v, L"%s<var vt=\"VT_ARRAY|VT_UI2\" count=\"%d\">\r\n", indent, out,
                                 [&](USHORT x) { line(out, L"%s<var vt=\"VT_UI2\">%d</var>\r\n", in, x); });
            return;
        case VT_ARRAY | VT_I4:
            listElements<LONG>(v, L"%s<var vt=\"VT_ARRAY|VT_I4\" count=\"%d\">\r\n", indent, out,
                               [&](LONG x) { line(out, L"%s<var vt=\"VT_I4\">%d</var>\r\n", in, x); });
            return;
        case VT_ARRAY | VT_UI4:
            listElements<ULONG>(v, L"%s<var vt=\"VT_ARRAY|VT_UI4\" count=\"%d\">\r\n", indent, out,
                                [&](ULONG x) { line(out, L"%s<var vt=\"VT_UI4\">%u</var>\r\n", in, x); });
            return;
        case VT_ARRAY | VT_I8:
            listElements<LONGLONG>(
                v, L"%s<var vt=\"VT_ARRAY|VT_I8\" count=\"%d\">\r\n", indent, out, [&](LONGLONG x) {
                    line(out, L"%s<var vt=\"VT_I8\">%lld</var>\r\n", in, static_cast<long long>(x));
                });
            return;
        case VT_ARRAY | VT_UI8:
            listElements<ULONGLONG>(
                v, L"%s<var vt=\"VT_ARRAY|VT_UI8\" count=\"%d\">\r\n", indent, out, [&](ULONGLONG x) {
                    line(out, L"%s<var vt=\"VT_UI8\">%llu</var>\r\n", in, static_cast<unsigned long long>(x));
                });
            return;
        case VT_ARRAY | VT_BSTR:
            listElements<std::wstring>(v, L"%s<var vt=\"VT_ARRAY|VT_BSTR\" count=\"%d\">\r\n", indent, out,
                                       [&](const std::wstring& x) {
                                           line(out, L"%s<var vt=\"VT_BSTR\">%s</var>\r\n", in, x.c_str());
                                       });
            return;
        case VT_ARRAY | VT_I1:
            line(out, L"%s<var vt=\"VT_ARRAY|VT_I1\" count=\"%d\" />\r\n", in, VUtil::GetArrayLength(v));
            return;
        case VT_ARRAY | VT_UI1:
            line(out, L"%s<var vt=\"VT_ARRAY|VT_UI1\" count=\"%d\" />\r\n", in, VUtil::GetArrayLength(v));
            return;
        case VT_ARRAY | VT_R4:
            line(out, L"%s<var vt=\"VT_ARRAY|VT_R4\" count=\"%d\" />\r\n", in, VUtil::GetArrayLength(v));
            return;
        case VT_ARRAY | VT_R8:
            line(out, L"%s<var vt=\"VT_ARRAY|VT_R8\" count=\"%d\" />\r\n", in, VUtil::GetArrayLength(v));
            return;
        case VT_ARRAY | VT_VARIANT: {
            LONG count = VUtil::GetArrayLength(v);
            line(out, L"%s<var vt=\"VT_ARRAY|VT_VARIANT\" count=\"%d\">\r\n", in, count);
            for (LONG i = 0; i < count; ++i) {
                CComVariant element;
                VUtil::GetElement(v, i, element);
                VUtil::ToXml(element, depth + 1, out);
            }
            line(out, L"%s</var>\r\n", in);
            return;
        }
        default:
            line(out, L"%s<var vt=\"%d (unknown)\" />\r\n", in, static_cast<int>(v.vt));
            return;
    }
}

}  // namespace

int64_t VUtil::DateToSeconds(DATE date) {
    if (!std::isfinite(date)) return 0;
    double whole = std::trunc(date);
    double fraction = std::fabs(date - whole);
    // Far outside any calendar a reply can carry; keeps the arithmetic in range.
    if (std::fabs(whole) > 1e12) return 0;
    return (static_cast<int64_t>(whole) - kDaysTo1970) * kSecondsPerDay +
           static_cast<int64_t>(std::llround(fraction * kSecondsPerDay));
}

DATE VUtil::SecondsToDate(int64_t seconds) {
    return static_cast<double>(seconds / kSecondsPerDay + kDaysTo1970) +
           static_cast<double>(seconds % kSecondsPerDay) / kSecondsPerDay;
}

void VUtil::ToXml(const VARIANT& v, int depth, std::wstring& out) {
    try {
        render(v, depth, out);
    } catch (const HuxException& e) {
        std::wstring indent(static_cast<size_t>(depth > 0 ? depth : 0) * 2, L' ');
        line(out, L"%s<Error>%s</Error>\r\n", indent.c_str(), e.GetMessage().c_str());
    }
}

std::wstring VUtil::Dump(const std::wstring& name, const VARIANT& v) {
    std::wstring out = L"Dumping " + name + L": ";
    ToXml(v, 1, out);
    return out;
}
