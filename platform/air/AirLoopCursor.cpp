#include "platform/air/AirLoopCursor.h"

#include <cstring>

#include "platform/air/TsPacket.h"

AirLoopCursor::AirLoopCursor(std::shared_ptr<const AirClip> clip, int64_t phaseTicks)
    : clip_(std::move(clip)) {
    int64_t loop = clip_->loopTicks();
    phase_ = loop > 0 ? phaseTicks % loop : 0;
    if (phase_ < 0) phase_ += loop;
    index_ = clip_->firstPacketAtOrAfter(phase_);
    if (index_ >= clip_->packetCount()) {
        index_ = 0;
        phase_ = 0;
    }
}

void AirLoopCursor::startPass() {
    index_ = 0;
    ++loop_;
    for (uint16_t pid : clip_->pids()) {
        int first = clip_->firstContinuity(pid);
        if (lastOut_[pid] >= 0 && first >= 0) delta_[pid] = uint8_t((lastOut_[pid] + 1 - first) & 0x0F);
    }
}

int64_t AirLoopCursor::next(uint8_t* out) {
    if (index_ >= clip_->packetCount()) startPass();
    std::memcpy(out, clip_->packet(index_), tspacket::kSize);
    int64_t due = int64_t(loop_) * clip_->loopTicks() + clip_->packetTime(index_) - phase_;
    ++index_;

    uint16_t pid = tspacket::pid(out);
    // Null packets carry nothing, and a packet flagged in error has a header nobody trusts.
    if (pid == tspacket::kNullPid || tspacket::transportError(out)) return due;
    uint8_t cc = uint8_t((tspacket::continuity(out) + delta_[pid]) & 0x0F);
    tspacket::setContinuity(out, cc);
    if (tspacket::hasPayload(out)) lastOut_[pid] = int8_t(cc);

    if (loop_ == 0) return due;
    int64_t shift = int64_t(loop_) * clip_->loopTicks();
    int64_t pcr;
    if (tspacket::readPcr(out, pcr)) tspacket::writePcr(out, (pcr + shift) % tspacket::kPcrWrap);
    tspacket::PesTimes pes = tspacket::findPesTimes(out);
    int64_t shift90 = shift / 300;
    if (pes.ptsAt)
        tspacket::writeTimestamp(out + pes.ptsAt,
                                 (tspacket::readTimestamp(out + pes.ptsAt) + shift90) % tspacket::kPtsWrap);
    if (pes.dtsAt)
        tspacket::writeTimestamp(out + pes.dtsAt,
                                 (tspacket::readTimestamp(out + pes.dtsAt) + shift90) % tspacket::kPtsWrap);
    return due;
}
