// A stand-in for orvane.exe, installed under that name in a test module
// directory. It writes nothing of its own: it reads frames from standard
// input and answers each with a 4-byte host-order result, once the whole
// frame has been read.
//
// OV_STANDIN_MODE=exit127  exit with status 127 at once.
// OV_STANDIN_MODE=exit3    exit with status 3 at once, after its "argv" line
//                          (so that its starts can be counted).
// OV_STANDIN_LOG=FILE      append "argv ..." at start and, for every frame,
//                          "frame WORD0 WORD1 WIDTH HEIGHT PIXELBYTES FNV1A"
//                          (before its result is written).
// Results: 0 for an image (Word0 >= 0) and for a fill (Word0 -1); for a query
// (Word0 -2) the number of images and fills read so far; 1001 otherwise.
// End of input between frames: exit 0; in the middle of a frame: exit 3.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int logFd = -1;

void logLine(const std::string &line)
{
    if (logFd < 0)
        return;
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = ::write(logFd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Reads exactly n bytes. 1 when done, 0 at end of input before any byte, -1
// at end of input or a failure after some.
int readAll(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = ::read(STDIN_FILENO, p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return got == 0 && r == 0 ? 0 : -1;
        got += static_cast<size_t>(r);
    }
    return 1;
}

bool writeResult(int32_t result)
{
    unsigned char b[4];
    std::memcpy(b, &result, 4);
    size_t done = 0;
    while (done < 4) {
        ssize_t n = ::write(STDOUT_FILENO, b + done, 4 - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const char *mode = std::getenv("OV_STANDIN_MODE");
    if (mode && std::strcmp(mode, "exit127") == 0)
        return 127;
    if (const char *path = std::getenv("OV_STANDIN_LOG"); path && *path)
        logFd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    std::string args = "argv";
    for (int i = 0; i < argc; ++i)
        args += std::string(" ") + argv[i];
    logLine(args + "\n");
    if (mode && std::strcmp(mode, "exit3") == 0)
        return 3;

    uint32_t shown = 0;
    static unsigned char chunk[1 << 16];
    for (;;) {
        int32_t h[4];
        int r = readAll(h, sizeof h);
        if (r == 0)
            return 0;
        if (r < 0)
            return 3;
        int64_t pixels = 0;
        if (h[0] >= 0) {
            if (h[2] < 0 || h[3] < 0)
                return 4;
            pixels = int64_t{h[2]} * h[3] * 3;
        }
        uint32_t fnv = 2166136261u;
        for (int64_t left = pixels; left > 0;) {
            size_t n = left < static_cast<int64_t>(sizeof chunk) ? static_cast<size_t>(left) : sizeof chunk;
            if (readAll(chunk, n) != 1)
                return 3;
            for (size_t i = 0; i < n; ++i)
                fnv = (fnv ^ chunk[i]) * 16777619u;
            left -= static_cast<int64_t>(n);
        }
        int32_t result = 1001;
        if (h[0] >= 0 || h[0] == -1) {
            ++shown;
            result = 0;
        } else if (h[0] == -2) {
            result = static_cast<int32_t>(shown);
        }
        char line[160];
        std::snprintf(line, sizeof line, "frame %d %d %d %d %lld %08x\n", h[0], h[1], h[2], h[3],
                      static_cast<long long>(pixels), fnv);
        logLine(line);
        if (!writeResult(result))
            return 5;
    }
}
