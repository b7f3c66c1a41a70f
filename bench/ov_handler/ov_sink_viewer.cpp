// A viewer that only reads and answers: for the transport benchmarks, where
// the real viewer's drawing would hide the cost of getting frames to it. It
// reads each frame (16-byte header in host order, then Width x Height x 3
// pixel bytes for an image) in large reads into one scratch buffer and
// answers 0 with a 4-byte host-order result; end of input ends it.
// With the argument "checksum" it also adds up every pixel byte, as a viewer
// that looks at its pixels must: slower than the network, so that queues in
// front of it fill up.
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace {

bool readAll(void *buf, size_t n)
{
    auto *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        const ssize_t r = ::read(STDIN_FILENO, p, n);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            return false;
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    const bool checksum = argc > 1 && std::strcmp(argv[1], "checksum") == 0;
    uint64_t sum = 0;
    static unsigned char scratch[1 << 20];
    for (;;) {
        int32_t h[4];
        if (!readAll(h, sizeof h))
            return 0;
        int64_t left = h[0] >= 0 && h[2] > 0 && h[3] > 0 ? int64_t{h[2]} * h[3] * 3 : 0;
        while (left > 0) {
            const size_t n = left < static_cast<int64_t>(sizeof scratch) ? static_cast<size_t>(left) : sizeof scratch;
            if (!readAll(scratch, n))
                return 0;
            if (checksum)
                for (size_t i = 0; i < n; ++i)
                    sum = sum * 31 + scratch[i];
            left -= static_cast<int64_t>(n);
        }
        const int32_t result = checksum && sum == 1 ? 1 : 0; // keeps the sum from being optimised away
        if (::write(STDOUT_FILENO, &result, sizeof result) != sizeof result)
            return 1;
    }
}
