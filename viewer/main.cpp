// orvane.exe: shows the frames the image plug-in feeds it on standard input
// and answers each with a 4-byte result on standard output.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include "backends.h"
#include "options.h"
#include "viewer.h"

int main(int argc, char** argv)
{
    using namespace orvane;
    std::string error;
    const auto options = ParseArgs(argc, argv, &error);
    if (!options) {
        std::fprintf(stderr, "orvane: %s\n%s\n", error.c_str(), kUsage);
        return kExitGiveUp;
    }
    if (options->version) {
        std::printf("orvane.exe %s\n", PLUGHOST_VERSION);
        return kExitEndOfInput;
    }
    if (options->help) {
        std::fprintf(stderr, "%s\nbackends: %s\n", kUsage,
                     ORVANE_WINDOW_BACKEND ? "window headless" : "headless");
        return kExitEndOfInput;
    }

    auto logger = spdlog::stderr_color_st("orvane");
    logger->set_pattern("[%Y-%m-%d %H:%M:%S.%e] [%n] [%l] %v");
    logger->set_level(LogLevelFor(options->log_level));
    logger->flush_on(spdlog::level::trace);
    spdlog::set_default_logger(logger);

    const auto settings = ReadSettings([](const char* name) { return std::getenv(name); }, &error);
    if (!settings) {
        std::fprintf(stderr, "orvane: %s\n", error.c_str());
        return kExitGiveUp;
    }
    // A vanished reader shows up as a failed write, not as SIGPIPE.
    std::signal(SIGPIPE, SIG_IGN);
    WidenInputPipe(STDIN_FILENO);

    int status;
    if (ChooseBackend(*settings) == BackendKind::Window) {
#if ORVANE_WINDOW_BACKEND
        status = RunWindow(*settings, STDIN_FILENO, STDOUT_FILENO);
#else
        if (settings->backend == BackendKind::Window) {
            spdlog::critical("this viewer was built without the window backend "
                             "(PLUGHOST_VIEWER_WINDOW=OFF)");
            return kExitGiveUp;
        }
        spdlog::warn("this viewer was built without the window backend: running headless");
        status = RunHeadless(*settings, STDIN_FILENO, STDOUT_FILENO);
#endif
    } else {
        status = RunHeadless(*settings, STDIN_FILENO, STDOUT_FILENO);
    }
    spdlog::debug("exit status {}", status);
    return status;
}

#if defined(__SANITIZE_ADDRESS__)
#define ORVANE_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVANE_ASAN 1
#endif
#endif
#if defined(ORVANE_ASAN)
// Leak checking in sanitizer builds: what system libraries keep until exit
// (D-Bus, reached through SDL's video start-up) is theirs, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libdbus-1.so\n"; }
#endif
