// Real processes for the image-service end-to-end tests and benchmarks: a
// plughost serving ov_handler on an ephemeral loopback port with an
// environment of the caller's choosing (its children inherit it), programs
// run to completion with captured output, and bounded waits on processes,
// files and /proc.
#pragma once

#include <string>
#include <vector>

#include "support/files.h"
#include "support/xserver.h"
#include "support/plughost.h"
#include "support/proc.h"
#include "support/process.h"

namespace ovtest {

using testsupport::childrenNamed;
using testsupport::crop;
using testsupport::descriptorsOf;
using testsupport::Env;
using testsupport::findInPath;
using testsupport::kWait;
using testsupport::kWaitMs;
using testsupport::loadPng;
using testsupport::mismatches;
using testsupport::openDescriptors;
using testsupport::parseXwd;
using testsupport::patternImage;
using testsupport::Process;
using testsupport::readFile;
using testsupport::readUntil;
using testsupport::reaped;
using testsupport::Rgb;
using testsupport::run;
using testsupport::RunResult;
using testsupport::screenshot;
using testsupport::signalProcess;
using testsupport::start;
using testsupport::useMode;
using testsupport::waitExit;
using testsupport::waitFor;
using testsupport::windowBackendBuilt;
using testsupport::writePng;
using testsupport::Xvfb;

// Wall clock in microseconds.
long long wallMicros();

// A fresh directory, removed with its contents on destruction.
class TempDir : public testsupport::TempDir {
public:
    TempDir() : testsupport::TempDir("ov_e2e") {}
};

// plughost serving ov_handler on 127.0.0.1 with an ephemeral port.
class Server : public testsupport::LoopbackServer {
public:
    Server(const std::string &plughost, const std::string &moduleDir, const Env &env, const std::string &logFile,
           const std::vector<std::string> &extra = {})
        : LoopbackServer(plughost, moduleDir, "ov_handler", env, logFile, extra)
    {
    }
};

} // namespace ovtest
