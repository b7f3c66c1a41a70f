#include "protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace orvane {

int64_t PixelBytes(const FrameHeader& h)
{
    if (h.word0 < 0 && (h.width == 0 || h.height == 0))
        return 0;
    if (h.width < 0 || h.height < 0)
        return -1;
    // Below 2^62, so the product cannot overflow; the factor 3 is checked first.
    const int64_t count = int64_t{h.width} * int64_t{h.height};
    if (count > (kMaxFrameBytes - int64_t{kHeaderBytes}) / 3)
        return -1;
    return count * 3;
}

std::optional<Clip> ClipImage(int canvas_w, int canvas_h, int32_t x, int32_t y, int32_t width,
                              int32_t height)
{
    if (width <= 0 || height <= 0 || canvas_w <= 0 || canvas_h <= 0)
        return std::nullopt;
    // 64-bit so that x + width cannot overflow.
    const int64_t left = std::max<int64_t>(x, 0);
    const int64_t top = std::max<int64_t>(y, 0);
    const int64_t right = std::min<int64_t>(int64_t{x} + width, canvas_w);
    const int64_t bottom = std::min<int64_t>(int64_t{y} + height, canvas_h);
    if (left >= right || top >= bottom)
        return std::nullopt;
    Clip c;
    c.dst_x = static_cast<int>(left);
    c.dst_y = static_cast<int>(top);
    c.src_x = static_cast<int>(left - x);
    c.src_y = static_cast<int>(top - y);
    c.width = static_cast<int>(right - left);
    c.height = static_cast<int>(bottom - top);
    return c;
}

FrameReader::FrameReader(int fd) : fd_(fd) {}

bool FrameReader::Reserve(size_t bytes)
{
    if (bytes <= capacity_)
        return true;
    // The old contents are not needed: free first to keep the peak low.
    pixels_.reset();
    capacity_ = 0;
    pixels_.reset(new (std::nothrow) uint8_t[bytes]);
    if (!pixels_)
        return false;
    capacity_ = bytes;
    return true;
}

FrameReader::Status FrameReader::FinishHeader()
{
    int32_t words[4];
    std::memcpy(words, header_bytes_, sizeof words);
    header_ = FrameHeader{words[0], words[1], words[2], words[3]};
    const int64_t n = PixelBytes(header_);
    if (n < 0) {
        error_ = "frame header " + std::to_string(header_.word0) + " " +
                 std::to_string(header_.word1) + " " + std::to_string(header_.width) + "x" +
                 std::to_string(header_.height) +
                 " has no valid length (negative size or longer than 2^31-1 bytes)";
        return Status::Malformed;
    }
    pixel_need_ = static_cast<size_t>(n);
    pixel_got_ = 0;
    dropped_ = !Reserve(pixel_need_);
    if (pixel_need_ == 0) {
        complete_ = true;
        return Status::Complete;
    }
    return Status::Partial;
}

FrameReader::Status FrameReader::ReadSome()
{
    if (complete_) {
        header_got_ = 0;
        pixel_need_ = 0;
        pixel_got_ = 0;
        complete_ = false;
        dropped_ = false;
    }
    unsigned char* dst;
    size_t want;
    if (header_got_ < kHeaderBytes) {
        dst = header_bytes_ + header_got_;
        want = kHeaderBytes - header_got_;
    } else if (dropped_) {
        dst = scratch_;
        want = std::min(sizeof scratch_, pixel_need_ - pixel_got_);
    } else {
        dst = pixels_.get() + pixel_got_;
        want = pixel_need_ - pixel_got_;
    }
    ssize_t n;
    do {
        n = read(fd_, dst, want);
    } while (n < 0 && errno == EINTR);
    if (n == 0)
        return Status::EndOfInput;
    if (n < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return Status::WouldBlock;
        error_ = std::string("read failed on standard input: ") + std::strerror(errno);
        return Status::Failed;
    }
    if (header_got_ < kHeaderBytes) {
        header_got_ += static_cast<size_t>(n);
        return header_got_ < kHeaderBytes ? Status::Partial : FinishHeader();
    }
    pixel_got_ += static_cast<size_t>(n);
    if (pixel_got_ < pixel_need_)
        return Status::Partial;
    complete_ = true;
    return Status::Complete;
}

void WidenInputPipe(int fd)
{
    const int size = fcntl(fd, F_GETPIPE_SZ);
    if (size < 0 || size >= kPipeBytes)
        return;
    // Unprivileged processes may go up to /proc/sys/fs/pipe-max-size.
    for (int want = kPipeBytes; want > size; want /= 2)
        if (fcntl(fd, F_SETPIPE_SZ, want) >= 0)
            return;
}

bool WriteResult(int fd, int32_t result)
{
    unsigned char bytes[4];
    std::memcpy(bytes, &result, sizeof bytes);
    size_t done = 0;
    while (done < sizeof bytes) {
        const ssize_t n = write(fd, bytes + done, sizeof bytes - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // A non-blocking descriptor: wait for room.
                pollfd p{fd, POLLOUT, 0};
                if (poll(&p, 1, -1) >= 0 || errno == EINTR)
                    continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace orvane
