#include "ov_process.h"

#include <sys/time.h>

namespace ovtest {

long long wallMicros()
{
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    return static_cast<long long>(tv.tv_sec) * 1000000 + tv.tv_usec;
}

} // namespace ovtest
