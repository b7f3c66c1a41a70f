// Real processes for the file-follow end-to-end tests and benchmark: a
// plughost serving dvl_handler on an ephemeral loopback port, other programs
// with captured output, bounded waits on them, and the watchers found in /proc.
#pragma once

#include <string>
#include <vector>

#include "support/files.h"
#include "support/plughost.h"
#include "support/proc.h"
#include "support/process.h"

namespace dvltest {

using testsupport::childrenNamed;
using testsupport::cpuTicks;
using testsupport::goneInProc;
using testsupport::kWait;
using testsupport::kWaitMs;
using testsupport::openDescriptors;
using testsupport::Process;
using testsupport::readToEnd;
using testsupport::readUntil;
using testsupport::replaceFile;
using testsupport::signalProcess;
using testsupport::start;
using testsupport::waitExit;
using testsupport::waitFor;
using testsupport::waitGone;
using testsupport::writeFile;

// A fresh directory, removed with everything in it on destruction.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("dvl_test") {}
};

// A plughost serving dvl_handler on 127.0.0.1 with an ephemeral port.
class Server : public testsupport::LoopbackServer {
public:
    Server(const std::string &plughost, const std::string &moduleDir, const std::string &logFile,
           const std::vector<std::string> &extra = {})
        : LoopbackServer(plughost, moduleDir, "dvl_handler", {}, logFile, extra)
    {
    }
};

} // namespace dvltest
