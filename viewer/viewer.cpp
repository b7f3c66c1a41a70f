#include "viewer.h"

#include <cerrno>
#include <cstring>
#include <ctime>

#include <spdlog/spdlog.h>

namespace orvane {

int64_t WallClockMicros()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

int64_t ResolveDeadline(uint32_t low, int64_t now)
{
    // The difference modulo 2^32, read as signed: -2^31 .. 2^31 - 1.
    const auto ahead = static_cast<int32_t>(low - static_cast<uint32_t>(now));
    return now + ahead;
}

bool Viewer::WaitUntil(int64_t when)
{
    for (int64_t now = canvas_.Now(); now < when; now = canvas_.Now())
        if (!canvas_.Idle(when - now))
            return false;
    return true;
}

std::optional<int32_t> Viewer::Present()
{
    const std::optional<int64_t> deadline = deadline_;
    deadline_.reset();
    // A deadline still ahead: get everything ready first, so that only the
    // swap is left for the moment itself.
    if (deadline && *deadline > canvas_.Now() && (!canvas_.Prepare() || !WaitUntil(*deadline)))
        return std::nullopt;
    const int64_t called = canvas_.Now();
    const std::optional<int64_t> onset = canvas_.Present();
    if (!onset)
        return std::nullopt;
    onset_ = static_cast<uint32_t>(*onset);
    ++frames_;
    // A swap that waits for the refresh returns within one period of being
    // called; one that took more than 1.5 periods let a refresh go by.
    const int64_t period = canvas_.RefreshPeriodMicros();
    if (canvas_.SyncedToRefresh() && period > 0 && *onset - called > period + period / 2) {
        ++late_;
        spdlog::debug("frame {}: the swap took {} us, more than 1.5 refresh periods", frames_,
                      *onset - called);
    }
    canvas_.Presented(frames_);
    if (!deadline)
        return kResultOk;
    const int64_t lateness = *onset - *deadline;
    const int64_t allowed = period > 0 ? period : kAssumedRefreshMicros;
    spdlog::debug("frame {}: presented {} us after its deadline", frames_, lateness);
    return lateness <= allowed ? kResultOk : kResultLate;
}

int32_t Viewer::Query(int32_t what, int32_t reserved) const
{
    if (reserved != 0)
        return kResultUnknown;
    switch (what) {
    case kQueryWidth: return canvas_.Width();
    case kQueryHeight: return canvas_.Height();
    case kQueryFrames: return static_cast<int32_t>(frames_);
    case kQueryOnset: return static_cast<int32_t>(onset_);
    case kQueryRefresh: return static_cast<int32_t>(canvas_.RefreshPeriodMicros());
    case kQueryLate: return static_cast<int32_t>(late_);
    default: return kResultUnknown;
    }
}

Viewer::Outcome Viewer::Handle(const FrameReader& frame)
{
    const FrameHeader& h = frame.header();
    int32_t result = kResultOk;
    if (h.word0 >= 0) {
        if (frame.dropped()) {
            spdlog::error("no memory for a {}x{} image; its pixels were dropped", h.width,
                          h.height);
            deadline_.reset(); // the armed moment was this picture's
            result = kResultNoMemory;
        } else {
            if (const auto clip = ClipImage(canvas_.Width(), canvas_.Height(), h.word0, h.word1,
                                            h.width, h.height)) {
                const size_t pitch = static_cast<size_t>(h.width) * 3;
                const uint8_t* src = frame.pixels() + static_cast<size_t>(clip->src_y) * pitch +
                                     static_cast<size_t>(clip->src_x) * 3;
                canvas_.Draw(*clip, src, pitch);
            }
            const auto presented = Present();
            if (!presented)
                return Outcome::DisplayLost;
            result = *presented;
            spdlog::debug("frame {}: {}x{} image at ({}, {})", frames_, h.width, h.height,
                          h.word0, h.word1);
        }
    } else if (h.word0 == kRequestFill) {
        canvas_.Fill(static_cast<uint32_t>(h.word1) & 0xFFFFFFu);
        const auto presented = Present();
        if (!presented)
            return Outcome::DisplayLost;
        result = *presented;
        spdlog::debug("frame {}: fill #{:06X}", frames_, static_cast<uint32_t>(h.word1) & 0xFFFFFFu);
    } else if (h.word0 == kRequestQuery) {
        result = Query(h.word1, h.width);
        spdlog::debug("query {} {}: {}", h.word1, h.width, result);
    } else if (h.word0 == kRequestPresentAt && h.width == 0 && h.height == 0) {
        const int64_t now = canvas_.Now();
        deadline_ = ResolveDeadline(static_cast<uint32_t>(h.word1), now);
        spdlog::debug("next picture armed for {} us from now", *deadline_ - now);
    } else {
        spdlog::warn("unknown request {} ({}x{})", h.word0, h.width, h.height);
        result = kResultUnknown;
    }
    if (!WriteResult(result_fd_, result)) {
        spdlog::error("cannot write the result to standard output: {}", std::strerror(errno));
        return Outcome::OutputFailed;
    }
    return Outcome::Answered;
}

std::optional<int> Step(FrameReader::Status status, const FrameReader& reader, Viewer& viewer)
{
    switch (status) {
    case FrameReader::Status::Partial:
    case FrameReader::Status::WouldBlock:
        return std::nullopt;
    case FrameReader::Status::Complete:
        switch (viewer.Handle(reader)) {
        case Viewer::Outcome::Answered: return std::nullopt;
        case Viewer::Outcome::DisplayLost:
            spdlog::error("the display was lost");
            return kExitRestart;
        case Viewer::Outcome::OutputFailed: return kExitRestart;
        }
        return kExitRestart;
    case FrameReader::Status::EndOfInput:
        if (reader.mid_frame())
            spdlog::warn("end of input in the middle of a frame; the partial frame is dropped");
        spdlog::info("end of input after {} presented frames", viewer.frames_presented());
        return kExitEndOfInput;
    case FrameReader::Status::Malformed:
    case FrameReader::Status::Failed:
        spdlog::error("{}", reader.error());
        return kExitRestart;
    }
    return kExitRestart;
}

} // namespace orvane
