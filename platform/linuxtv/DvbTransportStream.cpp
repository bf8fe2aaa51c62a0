#include "platform/linuxtv/DvbTransportStream.h"

#include <fcntl.h>
#include <linux/dvb/dmx.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/Log.h"
#include "platform/linuxtv/DvbFrontend.h"

namespace {
constexpr size_t kPacket = 188;
// The kernel's dvr ring: about a second of a 30 Mbit/s multiplex, so a reader held up for a
// moment loses nothing.
constexpr unsigned long kDvrBuffer = 4 * 1024 * 1024;
constexpr size_t kReadPackets = 348;  // 64 KiB and a bit, whole packets
// How long the reader waits for packets before it counts the time as passed without any.
constexpr int kIdleMs = 50;
}  // namespace

std::unique_ptr<DvbTransportStream> DvbTransportStream::open(const std::string& demuxPath,
                                                             const std::string& dvrPath, std::string& error) {
    int demux = ::open(demuxPath.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (demux < 0) {
        error = DvbOpenErrorText(demuxPath, errno);
        return nullptr;
    }
    dmx_pes_filter_params filter{};
    filter.pid = 0x2000;  // every PID
    filter.input = DMX_IN_FRONTEND;
    filter.output = DMX_OUT_TS_TAP;
    filter.pes_type = DMX_PES_OTHER;
    filter.flags = 0;
    if (ioctl(demux, DMX_SET_PES_FILTER, &filter) != 0) {
        error = demuxPath + " cannot pass the whole stream (" + std::strerror(errno) + ")";
        ::close(demux);
        return nullptr;
    }
    int dvr = ::open(dvrPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (dvr < 0) {
        error = DvbOpenErrorText(dvrPath, errno);
        ::close(demux);
        return nullptr;
    }
    // A smaller ring still works, only with less slack: not worth failing for.
    ioctl(dvr, DMX_SET_BUFFER_SIZE, kDvrBuffer);
    if (ioctl(demux, DMX_START) != 0) {
        error = demuxPath + " does not start (" + std::strerror(errno) + ")";
        ::close(dvr);
        ::close(demux);
        return nullptr;
    }
    return adopt(demux, dvr, dvrPath, error);
}

std::unique_ptr<DvbTransportStream> DvbTransportStream::adopt(int demux, int dvr, const std::string& dvrPath,
                                                              std::string& error) {
    std::unique_ptr<DvbTransportStream> s(new DvbTransportStream(demux, dvr, dvrPath));
    if (pipe2(s->wake_, O_CLOEXEC | O_NONBLOCK) != 0) {
        error = std::string("no pipe for the stream's reader: ") + std::strerror(errno);
        return nullptr;
    }
    s->thread_ = std::thread([p = s.get()]() { p->run(); });
    return s;
}

DvbTransportStream::DvbTransportStream(int demux, int dvr, std::string dvrPath)
    : demux_(demux), dvr_(dvr), dvrPath_(std::move(dvrPath)) {}

DvbTransportStream::~DvbTransportStream() {
    close(AirEndReason::Stopped);
}

void DvbTransportStream::close(AirEndReason reason) {
    stop(reason);
    std::lock_guard<std::mutex> guard(closeLock_);
    if (thread_.joinable()) thread_.join();
    for (int* fd : {&dvr_, &demux_, &wake_[0], &wake_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

std::shared_ptr<AirConsumer> DvbTransportStream::subscribe(size_t capacityPackets) {
    auto c = std::make_shared<AirConsumer>(capacityPackets);
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_.load()) {
        c->end(reason_);
        return c;
    }
    consumers_.push_back(c);
    return c;
}

std::string DvbTransportStream::error() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return error_;
}

void DvbTransportStream::stop(AirEndReason reason) {
    std::vector<std::weak_ptr<AirConsumer>> consumers;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_.exchange(true)) return;
        reason_ = reason;
        consumers.swap(consumers_);
    }
    if (wake_[1] >= 0) {
        char b = 1;
        (void)!::write(wake_[1], &b, 1);
    }
    for (auto& w : consumers)
        if (auto c = w.lock()) c->end(reason);
}

void DvbTransportStream::deliver(const uint8_t* packets, size_t count) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (size_t i = 0; i < consumers_.size();) {
        if (auto c = consumers_[i].lock()) {
            c->push(packets, count);
            ++i;
        } else {
            consumers_.erase(consumers_.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

double DvbTransportStream::msSinceStart() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started_).count();
}

void DvbTransportStream::run() {
    std::vector<uint8_t> buf(kReadPackets * kPacket);
    size_t have = 0;  // bytes of a packet cut by the previous read
    while (!stopping_.load()) {
        pollfd fds[2] = {{dvr_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int n = poll(fds, 2, kIdleMs);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (n == 0) {
            // Nothing is received (no lock, or a quiet pipe): the stream's time runs on all the
            // same, so that a wait for a table by it ends.
            reachedMs_.store(msSinceStart());
            continue;
        }
        if (fds[1].revents) break;
        if (!(fds[0].revents & (POLLIN | POLLERR | POLLHUP))) continue;
        const double before = msSinceStart();
        const size_t room = buf.size() - have;
        ssize_t got = ::read(dvr_, buf.data() + have, room);
        // A read that leaves the device empty has everything that came before it; that time is
        // published once the packets are handed on.
        const bool drained = (got < 0 && errno == EAGAIN) || (got > 0 && static_cast<size_t>(got) < room);
        if (got < 0 && drained) reachedMs_.store(before);
        if (got <= 0) {
            int err = got == 0 ? ENODEV : errno;
            if (err == EAGAIN || err == EINTR) continue;
            if (err == EOVERFLOW) {
                // The kernel's ring overflowed and was reset: what was lost is lost, go on.
                overflows_.fetch_add(1);
                have = 0;
                continue;
            }
            // The end of what the device gives (0) means it went away as much as ENODEV does.
            std::string why = DvbOpenErrorText(dvrPath_, err);
            warn(L"[LinuxTV] reading the transport stream stopped: %S", why.c_str());
            {
                std::lock_guard<std::mutex> guard(mutex_);
                error_ = why;
            }
            stop(AirEndReason::SignalLost);
            break;
        }
        have += static_cast<size_t>(got);
        // The dvr device hands out whole packets from the sync byte; should a read ever end
        // inside one, the rest comes with the next read.
        size_t whole = have / kPacket;
        if (whole > 0) {
            deliver(buf.data(), whole);
            packets_.fetch_add(whole);
            size_t rest = have - whole * kPacket;
            std::memmove(buf.data(), buf.data() + whole * kPacket, rest);
            have = rest;
        }
        if (drained) reachedMs_.store(before);
    }
}
