// What the viewer does with a complete frame, independent of where the
// canvas lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "protocol.h"

namespace orvane {

// Exit statuses. The plug-in restarts the viewer after any status but
// kExitGiveUp, so that one is kept for failures a restart cannot cure.
inline constexpr int kExitEndOfInput = 0;
inline constexpr int kExitRestart = 1;
inline constexpr int kExitGiveUp = 127;

// A canvas of fixed size that starts black. Draw and Fill change it; Present
// makes the current contents visible.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void Fill(uint32_t rgb) = 0;
    // Copies clip.width x clip.height pixels from src (the clipped area's
    // top-left pixel, rows src_pitch bytes apart) to (clip.dst_x, clip.dst_y).
    virtual void Draw(const Clip& clip, const uint8_t* src, size_t src_pitch) = 0;
    // False when the display is gone.
    virtual bool Present() = 0;
    // Called after a frame was presented and counted; frame is its number (1, 2, ...).
    virtual void Presented(uint32_t /*frame*/) {}
};

// Wall clock in microseconds (the same clock as gettimeofday).
int64_t WallClockMicros();

class Viewer {
public:
    enum class Outcome { Answered, DisplayLost, OutputFailed };

    Viewer(Canvas& canvas, int result_fd) : canvas_(canvas), result_fd_(result_fd) {}

    // Carries out one complete frame and writes its result.
    Outcome Handle(const FrameReader& frame);

    uint32_t frames_presented() const { return frames_; }

private:
    int32_t Query(int32_t what, int32_t reserved) const;
    bool Present();

    Canvas& canvas_;
    int result_fd_;
    uint32_t frames_ = 0;
    uint32_t onset_ = 0; // low 32 bits of the last presentation's wall clock
};

// Acts on what one FrameReader::ReadSome() returned: runs a completed frame.
// Returns the exit status once the viewer has to stop, nullopt to go on.
std::optional<int> Step(FrameReader::Status status, const FrameReader& reader, Viewer& viewer);

} // namespace orvane
