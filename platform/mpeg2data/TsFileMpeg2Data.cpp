#include "platform/mpeg2data/TsFileMpeg2Data.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/mpeg2data/SectionList.h"
#include "platform/mpeg2data/SectionTableCollector.h"

TsFileMpeg2Data::TsFileMpeg2Data(std::vector<uint8_t> bytes) : m_bytes(std::move(bytes)) {}

namespace {
void addStats(TsDemux::Stats& total, const TsDemux::Stats& s) {
    total.packets += s.packets;
    total.syncLosses += s.syncLosses;
    total.skippedBytes += s.skippedBytes;
    total.transportErrors += s.transportErrors;
    total.continuityErrors += s.continuityErrors;
    total.sections += s.sections;
    total.crcErrors += s.crcErrors;
    total.droppedSections += s.droppedSections;
}

// Feeds the recording in steps, so a request answered early does not read the rest.
template <class Done>
void feedRecording(TsDemux& demux, const std::vector<uint8_t>& bytes, Done done) {
    const size_t step = 64 * TsDemux::kPacketSize;
    for (size_t pos = 0; pos < bytes.size() && !done(); pos += step) {
        demux.feed(bytes.data() + pos, bytes.size() - pos < step ? bytes.size() - pos : step);
    }
    if (!done()) demux.flush();
}
}  // namespace

HRESULT TsFileMpeg2Data::GetTable(PID pid, TID tid, MPEG2_FILTER* filter, DWORD, ISectionList** list) {
    if (!list) return E_POINTER;
    *list = nullptr;
    if (filter) return E_NOTIMPL;
    if (pid > 0x1FFF) return E_INVALIDARG;

    SectionTableCollector collector(pid, tid);
    TsDemux demux([&collector](uint16_t p, const uint8_t* s, size_t n) { collector.offer(p, s, n); });
    demux.addPid(pid);
    feedRecording(demux, m_bytes, [&collector] { return collector.done(); });
    addStats(m_stats, demux.stats());
    if (!collector.finish()) return MPEG2DATA_E_TIMEOUT;

    *list = CreateComObject<SectionList>(collector.sections());
    return S_OK;
}

TsFileMpeg2Data::Shape TsFileMpeg2Data::shape() const {
    TsDemux demux([](uint16_t, const uint8_t*, size_t) {});
    demux.addPid(0x1FFF);  // the null packets carry nothing: only the packets are counted
    feedRecording(demux, m_bytes, [] { return false; });
    Shape shape;
    shape.packets = demux.stats().packets;
    shape.skippedBytes = demux.stats().skippedBytes;
    shape.packetSize = demux.packetSize();
    return shape;
}

bool TsFileMpeg2Data::readRecording(const std::string& path, size_t limit, std::vector<uint8_t>* bytes,
                                    bool* cut, std::string* problem) {
    bytes->clear();
    *cut = false;
    const bool standardInput = path == "-";
    // Opened without blocking first, so that a device whose open waits (a line without carrier)
    // is refused rather than waited for.
    int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        *problem = std::strerror(errno);
        return false;
    }
    struct Closer {
        int* fd;
        bool own;
        ~Closer() {
            if (own && *fd >= 0) ::close(*fd);
        }
    } closer{&fd, !standardInput};

    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        *problem = std::strerror(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        *problem = S_ISDIR(st.st_mode) ? "is a directory" : "is neither a regular file nor a pipe";
        return false;
    }
    if (S_ISFIFO(st.st_mode) && !standardInput) {
        // A named pipe opened without blocking reads as ended until a writer comes: open it
        // again, waiting for the writer.
        ::close(fd);
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            *problem = fd < 0 ? std::strerror(errno) : "changed while it was opened";
            return false;
        }
    } else if (!standardInput) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (S_ISREG(st.st_mode)) bytes->reserve(static_cast<size_t>(st.st_size) < limit ? st.st_size : limit);

    std::vector<uint8_t> chunk(1 << 16);
    for (;;) {
        const ssize_t n = ::read(fd, chunk.data(), chunk.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *problem = std::strerror(errno);
            return false;
        }
        if (n == 0) break;
        const size_t room = limit - bytes->size();
        const size_t take = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
        bytes->insert(bytes->end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(take));
        if (take < static_cast<size_t>(n)) {
            *cut = true;
            break;
        }
    }
    return true;
}
