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

bool Viewer::Present()
{
    if (!canvas_.Present())
        return false;
    onset_ = static_cast<uint32_t>(WallClockMicros());
    ++frames_;
    canvas_.Presented(frames_);
    return true;
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
            result = kResultNoMemory;
        } else {
            if (const auto clip = ClipImage(canvas_.Width(), canvas_.Height(), h.word0, h.word1,
                                            h.width, h.height)) {
                const size_t pitch = static_cast<size_t>(h.width) * 3;
                const uint8_t* src = frame.pixels() + static_cast<size_t>(clip->src_y) * pitch +
                                     static_cast<size_t>(clip->src_x) * 3;
                canvas_.Draw(*clip, src, pitch);
            }
            if (!Present())
                return Outcome::DisplayLost;
            spdlog::debug("frame {}: {}x{} image at ({}, {})", frames_, h.width, h.height,
                          h.word0, h.word1);
        }
    } else if (h.word0 == kRequestFill) {
        canvas_.Fill(static_cast<uint32_t>(h.word1) & 0xFFFFFFu);
        if (!Present())
            return Outcome::DisplayLost;
        spdlog::debug("frame {}: fill #{:06X}", frames_, static_cast<uint32_t>(h.word1) & 0xFFFFFFu);
    } else if (h.word0 == kRequestQuery) {
        result = Query(h.word1, h.width);
        spdlog::debug("query {} {}: {}", h.word1, h.width, result);
    } else {
        spdlog::warn("unknown request {}", h.word0);
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
