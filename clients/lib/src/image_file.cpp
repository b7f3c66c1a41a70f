#include "clientlib/image_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

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

RgbImage DecodeImage(const std::vector<uint8_t>& bytes, const std::string& name) {
    if (bytes.size() > static_cast<size_t>(std::numeric_limits<int>::max()))
        throw ClientError(ErrorKind::Local, name + ": the file is too large to decode");
    RgbImage img;
    std::string why;
    if (!StbDecodeRgb(bytes.data(), bytes.size(), img.width, img.height, img.pixels, why))
        throw ClientError(ErrorKind::Local, name + ": cannot decode the picture: " + why);
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
