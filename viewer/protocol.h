// The viewer's side of its pipes: frames in on standard input, one 4-byte
// host-order result out on standard output per frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace orvane {

inline constexpr size_t kHeaderBytes = 16;

// Word0 of the requests that are not images. Fill and query come from the
// plug-in's two short requests; present-at is a show-image request whose
// Word0 the client sets to -3 (the plug-in passes it unchanged).
inline constexpr int32_t kRequestFill = -1;
inline constexpr int32_t kRequestQuery = -2;
inline constexpr int32_t kRequestPresentAt = -3;

// Query selectors (Word1 of a query).
inline constexpr int32_t kQueryWidth = 1;
inline constexpr int32_t kQueryHeight = 2;
inline constexpr int32_t kQueryFrames = 3;
inline constexpr int32_t kQueryOnset = 4;
inline constexpr int32_t kQueryRefresh = 5;
inline constexpr int32_t kQueryLate = 6;

// Results the viewer chooses itself. The plug-in's own reply codes live in
// 18..29, so these stay far away from them.
inline constexpr int32_t kResultOk = 0;
inline constexpr int32_t kResultUnknown = 1001;
inline constexpr int32_t kResultNoMemory = 1002;
inline constexpr int32_t kResultLate = 1003;

// The plug-in keeps a frame's length in a signed 32-bit field.
inline constexpr int64_t kMaxFrameBytes = INT32_MAX;

struct FrameHeader {
    int32_t word0 = 0;
    int32_t word1 = 0;
    int32_t width = 0;
    int32_t height = 0;
};

// Pixel bytes that follow the header: Width * Height * 3, as the plug-in
// builds every frame. Its short requests (negative Word0) have Height 0 and
// carry none whatever Width holds (a query's second argument). -1 when the
// header cannot be framed: a negative side with the other side not 0, or a
// frame longer than kMaxFrameBytes.
int64_t PixelBytes(const FrameHeader& h);

// The part of a Width x Height image placed with its top-left corner at
// (x, y) that falls on a canvas of canvas_w x canvas_h; nullopt when none.
struct Clip {
    int dst_x, dst_y; // on the canvas
    int src_x, src_y; // in the image
    int width, height;
};
std::optional<Clip> ClipImage(int canvas_w, int canvas_h, int32_t x, int32_t y, int32_t width,
                              int32_t height);

// Collects one frame at a time from a descriptor. Each ReadSome() makes one
// read() (repeated on EINTR), so it never blocks longer than the descriptor
// does. The pixel buffer only ever grows: after the largest frame has been
// seen, frames cost no allocation.
class FrameReader {
public:
    enum class Status {
        Partial,    // bytes were read; more are needed
        WouldBlock, // EAGAIN: a non-blocking descriptor has nothing yet
        Complete,   // header() and pixels() hold a whole frame
        EndOfInput, // end of file; mid_frame() tells whether a frame was cut
        Malformed,  // the header cannot be framed; error() says why
        Failed      // read() failed; error() says why
    };

    explicit FrameReader(int fd);

    Status ReadSome();

    const FrameHeader& header() const { return header_; }
    // The frame's pixels, or null when they were dropped for lack of memory.
    const uint8_t* pixels() const { return dropped_ ? nullptr : pixels_.get(); }
    bool dropped() const { return dropped_; }
    bool mid_frame() const { return header_got_ > 0 && !complete_; }
    const std::string& error() const { return error_; }
    size_t capacity() const { return capacity_; }

private:
    bool Reserve(size_t bytes);
    Status FinishHeader();

    int fd_;
    unsigned char header_bytes_[kHeaderBytes] = {};
    size_t header_got_ = 0;
    FrameHeader header_;
    size_t pixel_need_ = 0;
    size_t pixel_got_ = 0;
    bool complete_ = false;
    bool dropped_ = false;
    std::unique_ptr<uint8_t[]> pixels_;
    size_t capacity_ = 0;
    unsigned char scratch_[16384]; // sink for pixels that find no room
    std::string error_;
};

// When fd is a pipe smaller than kPipeBytes, asks the kernel to widen it
// (up to what the system allows), so a large frame needs fewer writes and
// reads. Anything else is left alone.
inline constexpr int kPipeBytes = 1 << 20;
void WidenInputPipe(int fd);

// Writes one result in host byte order, completely. False on failure.
bool WriteResult(int fd, int32_t result);

} // namespace orvane
