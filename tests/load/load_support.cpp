#include "load_support.h"

#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>

namespace loadtest {

bool Host::start(const HostOptions &options)
{
    if (dir_.path().empty()) {
        error_ = "mkdtemp failed";
        return false;
    }
    testsupport::SpawnOptions o;
    o.argv = {PLUGHOST_BIN};
    o.argv.insert(o.argv.end(), options.args.begin(), options.args.end());
    o.env.set = options.env;
    if (!options.unclutter.empty()) {
        const std::string bin = dir_.file("bin");
        if (::mkdir(bin.c_str(), 0755) != 0 || !writeFile(bin + "/unclutter", "#!/bin/sh\n" + options.unclutter) ||
            ::chmod((bin + "/unclutter").c_str(), 0755) != 0) {
            error_ = "cannot write the stand-in unclutter";
            return false;
        }
        const char *path = std::getenv("PATH");
        o.env.set["PATH"] = bin + ":" + (path && *path ? path : "/usr/bin:/bin");
    }
    o.stdinFromNull = false;
    if (options.stderrUnread)
        o.stderrToPipe = true;
    else
        o.stderrFile = dir_.file("plughost.log");
    // Nothing else the test holds reaches the host: its descriptor counts
    // are its own.
    o.closeOtherDescriptors = true;
    o.fileLimit = options.fileLimit;
    if (!host_.start(o, &error_)) {
        if (host_.pid() > 0) {
            error_ = "plughost did not report ready; stdout: " + host_.startup().text + "\nlog:\n" + log();
            stop();
        }
        return false;
    }
    return true;
}

int Host::stop()
{
    if (host_.status() >= 0)
        return host_.status();
    const int status = host_.stop(SIGTERM);
    if (status == -1)
        host_.kill();
    return status;
}

std::string Host::log() const { return readFile(dir_.file("plughost.log")); }

HostOptions imageHostOptions()
{
    HostOptions o;
    o.env = {{"ORVANE_BACKEND", "headless"}, {"ORVANE_CANVAS", "320x240"}, {"ORVANE_SNAPSHOT_DIR", ""}};
    return o;
}

} // namespace loadtest
