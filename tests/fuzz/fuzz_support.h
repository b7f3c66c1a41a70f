// Helpers shared by the plug-in fuzz harnesses: checks that abort with a
// message (libFuzzer then saves the input), the fake host's GoogleTest
// failures turned into aborts, and the plug-in under test.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "abi_types.h"
#include "fake_host.h"

namespace fuzz {

[[noreturn]] inline void failed(const char *file, int line, const char *format, ...)
{
    std::fprintf(stderr, "\n%s:%d: invariant broken: ", file, line);
    va_list ap;
    va_start(ap, format);
    std::vfprintf(stderr, format, ap);
    va_end(ap);
    std::fprintf(stderr, "\n");
    std::abort();
}

#define FUZZ_CHECK(cond, ...)                                                                                          \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::fuzz::failed(__FILE__, __LINE__, __VA_ARGS__);                                                           \
    } while (0)

// The fake host reports misuse through GoogleTest (ADD_FAILURE, ASSERT_*);
// outside a test those would only print, so they abort here.
class AbortOnFailure : public ::testing::EmptyTestEventListener {
    void OnTestPartResult(const ::testing::TestPartResult &r) override
    {
        if (r.failed())
            failed(r.file_name() ? r.file_name() : "?", r.line_number(), "%s", r.summary());
    }
};

inline void installFailureHook()
{
    static bool done = false;
    if (!done) {
        ::testing::UnitTest::GetInstance()->listeners().Append(new AbortOnFailure);
        done = true;
    }
}

// The plug-in under test, loaded once per process: libFuzzer registers the
// coverage counters of a loaded module and keeps reading them, so a copy that
// was unloaded (and mapped elsewhere when loaded again) would leave it with
// stale counters. Each input starts from the plug-in's initial statics all the
// same: Dispose of the previous input has freed everything, and `reset` (a
// hook exported by the plug-in's fuzz build, when it needs one) puts back the
// statics that Dispose leaves as they are.
class LoadedPlugin {
public:
    explicit LoadedPlugin(const char *reset = nullptr) : resetName_(reset) {}

    fakehost::Plugin &begin()
    {
        fakehost::reset();
        fakehost::keepLogLines(false);
        installFailureHook();
        if (!plugin_) {
            plugin_ = std::make_unique<fakehost::Plugin>(PLUGIN_UNDER_TEST);
            FUZZ_CHECK(plugin_->Initialize, "cannot load %s", PLUGIN_UNDER_TEST);
            if (resetName_) {
                reset_ = reinterpret_cast<void (*)()>(plugin_->symbol(resetName_));
                FUZZ_CHECK(reset_, "%s lacks %s", PLUGIN_UNDER_TEST, resetName_);
            }
        }
        if (reset_)
            reset_();
        return *plugin_;
    }

private:
    const char *resetName_;
    void (*reset_)() = nullptr;
    std::unique_ptr<fakehost::Plugin> plugin_;
};

// Big-endian word at p (4 bytes there), or at `at` of s (s holds at least
// at + 4 bytes).
inline uint32_t be32At(const unsigned char *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

inline uint32_t be32At(const std::string &s, std::size_t at)
{
    return be32At(reinterpret_cast<const unsigned char *>(s.data()) + at);
}

} // namespace fuzz
