#include "platform/hux/HuxWireFormat.h"

#include <limits>

#include "platform/hux/HuxVariantJson.h"

using Json = HuxVariantJson::Json;

namespace {

// A JSON text nested deeper than this is refused before it is parsed: two levels per variant
// (its object and its array) and the envelope around the outermost one.
constexpr int kMaxJsonDepth = 2 * HuxWireFormat::kMaxDepth + 4;

// Counts brackets outside strings; true when the nesting stays within the limit.
bool nestingWithin(const char* data, size_t len, int limit) {
    int depth = 0;
    bool inString = false;
    for (size_t i = 0; i < len; ++i) {
        char c = data[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}


bool parse(const char* data, size_t len, Json& out, std::string& why) {
    if (len > HuxWireFormat::kMaxPayload) {
        why = "message of " + std::to_string(len) + " bytes is larger than the limit of " +
              std::to_string(HuxWireFormat::kMaxPayload);
        return false;
    }
    if (!nestingWithin(data, len, kMaxJsonDepth)) {
        why = "JSON nested deeper than " + std::to_string(kMaxJsonDepth) + " levels";
        return false;
    }
    try {
        out = Json::parse(data, data + len);
    } catch (const Json::exception& e) {
        why = std::string("not JSON: ") + e.what();
        return false;
    }
    return true;
}

bool decodeInto(const Json& j, VARIANT* out, std::string& why) {
    return HuxVariantJson::fromJson(j, out, why);
}

// Reads the envelope's fields common to requests and replies.
bool envelope(const Json& j, std::string& from, std::string& why) {
    if (!j.is_object()) {
        why = "message is not a JSON object";
        return false;
    }
    auto h = j.find("hux");
    if (h == j.end() || !h->is_number_integer() || h->get<long long>() != 1) {
        why = "message without \"hux\":1";
        return false;
    }
    auto f = j.find("from");
    if (f != j.end()) {
        if (!f->is_string()) {
            why = "\"from\" must be text";
            return false;
        }
        from = f->get<std::string>();
    }
    return true;
}

}  // namespace

std::string HuxWireFormat::typeName(VARTYPE vt) {
    const char* name = HuxVariantJson::scalarName(vt & VT_TYPEMASK);
    if (!name || (vt & ~(VT_TYPEMASK | VT_ARRAY))) return {};
    if (vt & VT_ARRAY) {
        if ((vt & VT_TYPEMASK) == VT_EMPTY || (vt & VT_TYPEMASK) == VT_NULL) return {};
        return std::string("ARRAY|") + name;
    }
    if (vt == VT_VARIANT) return {};
    return name;
}

bool HuxWireFormat::typeFromName(const std::string& name, VARTYPE& vt) {
    bool array = name.compare(0, 6, "ARRAY|") == 0;
    VARTYPE scalar;
    if (!HuxVariantJson::scalarFromName(array ? name.substr(6) : name, scalar)) return false;
    VARTYPE candidate = scalar | (array ? VT_ARRAY : 0);
    if (typeName(candidate).empty()) return false;
    vt = candidate;
    return true;
}

std::string HuxWireFormat::toUtf8(const wchar_t* text, size_t len) {
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; ++i) {
        uint32_t c = static_cast<uint32_t>(text[i]);
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < len) {
            uint32_t lo = static_cast<uint32_t>(text[i + 1]);
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (lo - 0xDC00);
                ++i;
            }
        }
        if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += char(c);
        } else if (c < 0x800) {
            out += char(0xC0 | (c >> 6));
            out += char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += char(0xE0 | (c >> 12));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        } else {
            out += char(0xF0 | (c >> 18));
            out += char(0x80 | ((c >> 12) & 0x3F));
            out += char(0x80 | ((c >> 6) & 0x3F));
            out += char(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool HuxWireFormat::fromUtf8(const std::string& bytes, std::wstring& out) {
    out.clear();
    out.reserve(bytes.size());
    size_t i = 0, n = bytes.size();
    while (i < n) {
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        size_t more;
        uint32_t c, min;
        if (b < 0x80) {
            out += wchar_t(b);
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            more = 1, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            more = 2, c = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            more = 3, c = b & 0x07, min = 0x10000;
        } else {
            return false;
        }
        if (more > n - i - 1) return false;
        for (size_t k = 1; k <= more; ++k) {
            unsigned char cb = static_cast<unsigned char>(bytes[i + k]);
            if ((cb & 0xC0) != 0x80) return false;
            c = (c << 6) | (cb & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        out += wchar_t(c);
        i += more + 1;
    }
    return true;
}

bool HuxWireFormat::encodeVariant(const VARIANT& value, std::string& out, std::string& why) {
    Json j;
    if (!HuxVariantJson::toJson(value, j, why)) return false;
    out = j.dump();
    return true;
}

bool HuxWireFormat::encodeRequest(const std::string& from, const std::string& target, const std::wstring& service,
                                  const VARIANT& args, std::string& out, std::string& why) {
    Json a;
    if (!HuxVariantJson::toJson(args, a, why)) return false;
    Json j = {{"hux", 1}, {"from", from}, {"target", target}, {"service", toUtf8(service)}};
    j["args"] = std::move(a);
    // Client names are checked topic text, but a caller may hand any bytes: never throw on them.
    out = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    return true;
}

bool HuxWireFormat::encodeReply(const std::string& from, HRESULT status, const VARIANT& reply,
                                const std::string& error, std::string& out, std::string& why) {
    Json r;
    if (!HuxVariantJson::toJson(reply, r, why)) return false;
    Json j = {{"hux", 1}, {"from", from}, {"status", status}};
    j["reply"] = std::move(r);
    if (!error.empty()) j["error"] = error;
    out = j.dump(-1, ' ', false, Json::error_handler_t::replace);
    return true;
}

bool HuxWireFormat::decodeVariant(const char* data, size_t len, VARIANT* out, std::string& why) {
    VariantClear(out);
    Json j;
    if (!parse(data, len, j, why)) return false;
    return decodeInto(j, out, why);
}

bool HuxWireFormat::decodeRequest(const char* data, size_t len, HuxRequestMessage& out, std::string& why) {
    out.args.Clear();
    Json j;
    if (!parse(data, len, j, why) || !envelope(j, out.from, why)) return false;
    auto t = j.find("target");
    out.target = (t != j.end() && t->is_string()) ? t->get<std::string>() : std::string();
    auto s = j.find("service");
    if (s == j.end() || !s->is_string() || !fromUtf8(s->get<std::string>(), out.service) || out.service.empty()) {
        why = "request without a service name";
        return false;
    }
    auto a = j.find("args");
    if (a == j.end()) return true;  // no arguments: VT_EMPTY
    if (!decodeInto(*a, &out.args, why)) {
        why = "arguments: " + why;
        return false;
    }
    return true;
}

bool HuxWireFormat::decodeReply(const char* data, size_t len, HuxReplyMessage& out, std::string& why) {
    out.reply.Clear();
    out.error.clear();
    Json j;
    if (!parse(data, len, j, why) || !envelope(j, out.from, why)) return false;
    auto s = j.find("status");
    long long status;
    if (s == j.end() || !HuxVariantJson::readInt(*s, std::numeric_limits<int32_t>::min(),
                                     std::numeric_limits<int32_t>::max(), status)) {
        why = "reply without a 32-bit \"status\"";
        return false;
    }
    out.status = static_cast<HRESULT>(status);
    auto e = j.find("error");
    if (e != j.end() && e->is_string()) out.error = e->get<std::string>();
    auto r = j.find("reply");
    if (r == j.end()) return true;
    if (!decodeInto(*r, &out.reply, why)) {
        why = "reply: " + why;
        return false;
    }
    return true;
}

std::string HuxWireFormat::encodePresence(const std::string& client, const std::vector<std::string>& services) {
    Json j = {{"hux", 1}, {"client", client}, {"services", services}};
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool HuxWireFormat::decodePresence(const char* data, size_t len, std::vector<std::string>& services,
                                   std::string& why) {
    services.clear();
    if (len == 0) return true;
    Json j;
    std::string from;
    if (!parse(data, len, j, why) || !envelope(j, from, why)) return false;
    auto s = j.find("services");
    if (s == j.end() || !s->is_array()) {
        why = "presence without a \"services\" list";
        return false;
    }
    for (const auto& item : *s) {
        if (!item.is_string()) {
            services.clear();
            why = "service names must be text";
            return false;
        }
        services.push_back(item.get<std::string>());
    }
    return true;
}
