#include "platform/sbe/BufferManifest.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {
constexpr const char* kMagic = "skyvane-timeshift 1";
constexpr size_t kMaxManifest = 1 << 20;

std::string numbered(const std::string& buffer, uint32_t number, const char* ext) {
    char tail[32];
    std::snprintf(tail, sizeof tail, ".%06u.%s", number, ext);
    return buffer + tail;
}

// A signed decimal that fills the whole word.
bool toInt(const std::string& word, int64_t& value) {
    if (word.empty() || word.size() > 20) return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(word.c_str(), &end, 10);
    if (errno || !end || *end) return false;
    value = v;
    return true;
}
}  // namespace

std::string BufferManifest::segmentPath(const std::string& buffer, uint32_t number) {
    return numbered(buffer, number, "ts");
}

std::string BufferManifest::indexPath(const std::string& buffer, uint32_t number) {
    return numbered(buffer, number, "idx");
}

std::string BufferManifest::format() const {
    std::ostringstream out;
    out << kMagic << "\norigin " << originPts << "\nlatest " << latest << "\nstate "
        << (live ? "live" : "ended") << "\n";
    for (const BufferSegment& s : segments)
        out << "segment " << s.number << ' ' << s.firstByte << ' ' << s.position << "\n";
    return out.str();
}

bool BufferManifest::write(const std::string& path, std::string& error) const {
    std::string text = format();
    std::string temp = path + ".new";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = temp + ": " + std::strerror(errno);
        return false;
    }
    ssize_t done = ::write(fd, text.data(), text.size());
    int writeErrno = errno;
    ::close(fd);
    if (done != static_cast<ssize_t>(text.size())) {
        error = temp + ": " + (done < 0 ? std::strerror(writeErrno) : "short write");
        ::unlink(temp.c_str());
        return false;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

bool BufferManifest::read(const std::string& path, BufferManifest& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    std::string text(kMaxManifest + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (text.size() > kMaxManifest) {
        error = path + ": too large for a buffer manifest";
        return false;
    }
    if (!parse(text, out, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool BufferManifest::parse(const std::string& text, BufferManifest& out, std::string& error) {
    BufferManifest m;
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kMagic) {
        error = "not a time-shift buffer";
        return false;
    }
    int lineNumber = 1;
    bool sawOrigin = false, sawState = false;
    while (std::getline(lines, line)) {
        ++lineNumber;
        std::istringstream words(line);
        std::string key, a, b, c, extra;
        words >> key >> a >> b >> c >> extra;
        int64_t v1 = 0, v2 = 0, v3 = 0;
        bool ok = false;
        if (key == "origin" && b.empty()) {
            ok = toInt(a, v1) && v1 >= -1;
            m.originPts = v1;
            sawOrigin = ok;
        } else if (key == "latest" && b.empty()) {
            ok = toInt(a, v1);
            m.latest = v1;
        } else if (key == "state" && b.empty()) {
            ok = a == "live" || a == "ended";
            m.live = a == "live";
            sawState = ok;
        } else if (key == "segment" && extra.empty()) {
            ok = toInt(a, v1) && toInt(b, v2) && toInt(c, v3) && v1 >= 0 && v1 <= UINT32_MAX && v2 >= 0 &&
                 v2 % 188 == 0 &&
                 (m.segments.empty() ||
                  (uint32_t(v1) > m.segments.back().number && v2 >= m.segments.back().firstByte));
            if (ok) m.segments.push_back({static_cast<uint32_t>(v1), v2, v3});
        } else if (key.empty() && a.empty()) {
            ok = true;
        }
        if (!ok) {
            error = "line " + std::to_string(lineNumber) + " is not understood";
            return false;
        }
    }
    if (!sawOrigin || !sawState) {
        error = "origin or state missing";
        return false;
    }
    out = std::move(m);
    return true;
}

std::vector<IndexEntry> BufferManifest::readIndex(const std::string& path) {
    std::vector<IndexEntry> entries;
    std::ifstream in(path, std::ios::binary);
    uint8_t record[16];
    while (in.read(reinterpret_cast<char*>(record), sizeof record)) {
        uint64_t v[2] = {0, 0};
        for (int k = 0; k < 2; ++k)
            for (int i = 7; i >= 0; --i) v[k] = (v[k] << 8) | record[k * 8 + i];
        entries.push_back({static_cast<int64_t>(v[0]), static_cast<int64_t>(v[1])});
    }
    return entries;
}
