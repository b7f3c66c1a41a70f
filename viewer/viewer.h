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

// Wall clock in microseconds (the same clock as gettimeofday).
int64_t WallClockMicros();

// The refresh period assumed when judging a timed presentation on a display
// whose own is unknown: one refresh at 60 Hz.
inline constexpr int64_t kAssumedRefreshMicros = 16667;

// A canvas that starts black. Draw and Fill change it; Present makes the
// current contents visible.
class Canvas {
public:
    virtual ~Canvas() = default;
    virtual int Width() const = 0;
    virtual int Height() const = 0;
    virtual void Fill(uint32_t rgb) = 0;
    // Copies clip.width x clip.height pixels from src (the clipped area's
    // top-left pixel, rows src_pitch bytes apart) to (clip.dst_x, clip.dst_y).
    virtual void Draw(const Clip& clip, const uint8_t* src, size_t src_pitch) = 0;
    // Readies what was drawn since the last presentation so that Present
    // only has to show it; the previous picture stays up meanwhile. False
    // when the display is gone.
    virtual bool Prepare() { return true; }
    // Shows the canvas. The wall clock (Now) right after the buffer swap
    // returned; nullopt when the display is gone.
    virtual std::optional<int64_t> Present() = 0;
    // Called after a frame was presented and counted; frame is its number (1, 2, ...).
    virtual void Presented(uint32_t /*frame*/) {}
    // Waits about `micros` (> 0) while keeping the display serviced (redraws,
    // size changes). False when the display is gone.
    virtual bool Idle(int64_t micros) = 0;
    // The clock of every time stamp: wall clock in microseconds.
    virtual int64_t Now() const { return WallClockMicros(); }
    // The display's refresh period in microseconds, 0 when unknown.
    virtual uint32_t RefreshPeriodMicros() const { return 0; }
    // Whether a buffer swap waits for the display's refresh (vsync).
    virtual bool SyncedToRefresh() const { return false; }
};

// The full wall-clock time whose low 32 bits are `low` and that lies nearest
// to `now`: from now - 2^31 to now + 2^31 - 1 microseconds.
int64_t ResolveDeadline(uint32_t low, int64_t now);

class Viewer {
public:
    enum class Outcome { Answered, DisplayLost, OutputFailed };

    Viewer(Canvas& canvas, int result_fd) : canvas_(canvas), result_fd_(result_fd) {}

    // Carries out one complete frame and writes its result.
    Outcome Handle(const FrameReader& frame);

    uint32_t frames_presented() const { return frames_; }

private:
    int32_t Query(int32_t what, int32_t reserved) const;
    // Shows the canvas, at the armed deadline if there is one. The result
    // (0, or kResultLate for a timed presentation that came too late);
    // nullopt when the display is gone.
    std::optional<int32_t> Present();
    bool WaitUntil(int64_t when);

    Canvas& canvas_;
    int result_fd_;
    uint32_t frames_ = 0;
    uint32_t onset_ = 0;              // low 32 bits of the last presentation's wall clock
    uint32_t late_ = 0;               // presentations whose swap missed a refresh
    std::optional<int64_t> deadline_; // armed by a present-at request
};

// Acts on what one FrameReader::ReadSome() returned: runs a completed frame.
// Returns the exit status once the viewer has to stop, nullopt to go on.
std::optional<int> Step(FrameReader::Status status, const FrameReader& reader, Viewer& viewer);

} // namespace orvane
