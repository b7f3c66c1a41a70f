#include "clientlib/image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "clientlib/error.h"
#include "stb_decode.h"

namespace clientlib {

std::vector<uint8_t> ReadWholeFile(const std::string& path) {
    bool is_stdin = path == "-";
    int fd = is_stdin ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw ClientError(ErrorKind::Local, "cannot open " + path + ": " + std::strerror(errno));
    std::vector<uint8_t> data;
    size_t got = 0;
    for (;;) {
        if (data.size() - got < 65536) data.resize(got + 262144);
        ssize_t r = ::read(fd, data.data() + got, data.size() - got);
        if (r > 0) {
            got += static_cast<size_t>(r);
            continue;
        }
        if (r == 0) break;
        if (errno == EINTR) continue;
        int err = errno;
        if (!is_stdin) ::close(fd);
        throw ClientError(ErrorKind::Local,
                          "cannot read " + (is_stdin ? std::string("standard input") : path) + ": " +
                              std::strerror(err));
    }
    if (!is_stdin) ::close(fd);
    data.resize(got);
    return data;
}

namespace {

bool IsSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The plain (ASCII) forms of PGM and PPM, P2 and P3, which stb_image does not
// read: decimal numbers separated by white space, '#' comments to the end of
// a line. Samples are scaled from 0..maxval to 0..255.
class PlainPnm {
public:
    explicit PlainPnm(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

    // False with the reason in why.
    bool Decode(RgbImage& img, std::string& why) {
        const bool grey = bytes_[1] == '2';
        pos_ = 2;
        std::optional<uint64_t> width = Number(), height = Number(), maxval = Number();
        if (!width || !height || !maxval) return Fail(why, "plain PNM header is incomplete or malformed");
        if (*width == 0 || *height == 0) return Fail(why, "plain PNM width or height is 0");
        if (*maxval == 0 || *maxval > 65535) return Fail(why, "plain PNM maxval out of range (1..65535)");
        // Each sample takes at least one byte: a file too short for its size
        // is refused before anything is allocated (and before width × height
        // could overflow).
        const uint64_t channels = grey ? 1 : 3;
        if (*width > (bytes_.size() - pos_) / *height / channels)
            return Fail(why, "plain PNM file ends before its last sample");
        const uint64_t samples = *width * *height * channels;
        img.width = static_cast<uint32_t>(*width);
        img.height = static_cast<uint32_t>(*height);
        img.pixels.resize(static_cast<size_t>(*width * *height * 3));
        size_t out = 0;
        for (uint64_t i = 0; i < samples; ++i) {
            std::optional<uint64_t> v = Number();
            if (!v) return Fail(why, "plain PNM file ends before its last sample, or holds a non-number");
            if (*v > *maxval) return Fail(why, "plain PNM sample above maxval");
            const auto scaled = static_cast<uint8_t>((*v * 255 + *maxval / 2) / *maxval);
            for (int copy = 0; copy < (grey ? 3 : 1); ++copy) img.pixels[out++] = scaled;
        }
        return true;
    }

private:
    static constexpr uint64_t kMaxSide = std::numeric_limits<uint32_t>::max();

    static bool Fail(std::string& why, const char* text) {
        why = text;
        return false;
    }

    // The next number after white space and comments; none at the end of the
    // bytes, at anything else, or above 2^32 - 1.
    std::optional<uint64_t> Number() {
        while (pos_ < bytes_.size()) {
            const uint8_t c = bytes_[pos_];
            if (c == '#') {
                while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') ++pos_;
            } else if (IsSpace(c)) {
                ++pos_;
            } else {
                break;
            }
        }
        if (pos_ >= bytes_.size() || bytes_[pos_] < '0' || bytes_[pos_] > '9') return std::nullopt;
        uint64_t value = 0;
        while (pos_ < bytes_.size() && bytes_[pos_] >= '0' && bytes_[pos_] <= '9') {
            value = value * 10 + (bytes_[pos_++] - '0');
            if (value > kMaxSide) return std::nullopt;
        }
        return value;
    }

    const std::vector<uint8_t>& bytes_;
    size_t pos_ = 0;
};

bool IsPlainPnm(const std::vector<uint8_t>& bytes) {
    return bytes.size() >= 3 && bytes[0] == 'P' && (bytes[1] == '2' || bytes[1] == '3') &&
           (IsSpace(bytes[2]) || bytes[2] == '#');
}

}  // namespace

RgbImage DecodeImage(const std::vector<uint8_t>& bytes, const std::string& name) {
    if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        throw ClientError(ErrorKind::Local, name + ": the file is too large to decode");
    RgbImage img;
    std::string why;
    const bool decoded = IsPlainPnm(bytes)
                             ? PlainPnm(bytes).Decode(img, why)
                             : StbDecodeRgb(bytes.data(), bytes.size(), img.width, img.height, img.pixels, why);
    if (!decoded) throw ClientError(ErrorKind::Local, name + ": cannot decode the picture: " + why);
    return img;
}

RgbImage RawImage(std::vector<uint8_t> bytes, uint32_t width, uint32_t height, const std::string& name) {
    uint64_t want = uint64_t{width} * height * 3;
    if (bytes.size() != want)
        throw ClientError(ErrorKind::Local, name + ": raw RGB of " + std::to_string(width) + " x " +
                                                std::to_string(height) + " needs " +
                                                std::to_string(want) + " bytes, the input has " +
                                                std::to_string(bytes.size()));
    RgbImage img;
    img.width = width;
    img.height = height;
    img.pixels = std::move(bytes);
    return img;
}

}  // namespace clientlib
