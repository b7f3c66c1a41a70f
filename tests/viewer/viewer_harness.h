// Runs the real orvane.exe with pipes on its standard input and output.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/files.h"
#include "support/images.h"
#include "support/proc.h"
#include "support/process.h"

namespace orvane_test {

using testsupport::kWaitMs;
using testsupport::openDescriptors;
using testsupport::readFile;
using testsupport::TempDir;

std::vector<uint8_t> Frame(int32_t word0, int32_t word1, int32_t width, int32_t height,
                           const std::vector<uint8_t>& pixels = {});
inline std::vector<uint8_t> FillFrame(uint32_t rgb) { return Frame(-1, int32_t(rgb), 0, 0); }
inline std::vector<uint8_t> QueryFrame(int32_t what, int32_t reserved = 0)
{
    return Frame(-2, what, reserved, 0);
}

// An RGB image whose every pixel differs from its neighbours.
std::vector<uint8_t> PatternImage(int width, int height, uint8_t seed);

struct Env {
    // Variables set for the child on top of this process's environment,
    // from which every ORVANE_*, DISPLAY, WAYLAND_DISPLAY and SDL_* is removed.
    std::map<std::string, std::string> set;
};

class ViewerProcess {
public:
    // Starts the viewer with argv[1..] = args; stderr goes to stderr_path
    // (emptied first).
    // nonblocking: the child's pipe ends carry O_NONBLOCK, as the host's may.
    ViewerProcess(const std::vector<std::string>& args, const Env& env,
                  const std::string& stderr_path, bool nonblocking = false);
    ~ViewerProcess(); // closes its input, then waits (bounded) for the exit

    pid_t pid() const { return proc_.pid; }
    bool started() const { return started_; }

    // Writes every byte; false when the pipe breaks.
    bool Write(const std::vector<uint8_t>& bytes);
    bool Write(const uint8_t* data, size_t size);
    // Reads one 4-byte host-order result; nullopt on end of file or timeout.
    std::optional<int32_t> ReadResult();
    // Sends a frame and reads its result.
    std::optional<int32_t> Request(const std::vector<uint8_t>& frame);
    // True when a byte is waiting on the viewer's standard output right now.
    bool OutputPending();
    // True when the viewer's standard output is at end of file (bounded wait).
    bool OutputClosed();
    // Bytes written but not yet taken out of the pipe by the viewer.
    int InputPending();
    // The capacity of the pipe on its standard input.
    int InputPipeSize();
    // Waits (bounded) until the viewer has taken every written byte and is
    // asleep, i.e. blocked waiting for more input.
    bool WaitIdle();
    void CloseInput();
    // The exit status (128 + signal when killed); nullopt on timeout.
    std::optional<int> WaitExit();

private:
    testsupport::Process proc_; // in: its standard input, out: its standard output
    bool started_ = false;
};

// The viewer binary under test.
std::string ViewerPath();

// Whether that viewer was built with the window backend (its -h says so).
bool WindowBackendBuilt();

} // namespace orvane_test
