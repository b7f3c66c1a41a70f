// plughost: loads the plug-ins, opens the listeners and runs the event loop.
#include "export.h"
#include "host.h"
#include "logger.h"
#include "options.h"
#include "readiness.h"

#include <fcntl.h>
#include <malloc.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

extern "C" {
HOST_EXPORT const char *ModuleDirectory = "";
}

namespace {

using namespace plughost;

struct ListenSpec {
    std::string name;
    std::string address;
};

// Children and clients must never end up on 0, 1 or 2 by accident.
void keepStandardDescriptorsOpen()
{
    for (int fd = 0; fd < 3; ++fd)
        if (::fcntl(fd, F_GETFD) < 0)
            ::open("/dev/null", O_RDWR);
}

std::string realPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

bool fileExists(const std::string &path) { return ::access(path.c_str(), F_OK) == 0; }

// The module directory: as given, else the first that exists of the
// installed layout (../lib/plughost/modules) and the build tree's
// (../modules), both next to the real path of the binary.
std::string resolveModuleDir(const Options &o, std::string *error)
{
    if (!o.moduleDir.empty()) {
        std::string dir = realPath(o.moduleDir);
        if (dir.empty())
            *error = "module directory " + o.moduleDir + " does not exist";
        return dir;
    }
    const std::string exe = realPath("/proc/self/exe");
    const std::string bin = exe.substr(0, exe.rfind('/'));
    for (const char *relative : {"/../lib/plughost/modules", "/../modules"}) {
        std::string dir = realPath(bin + relative);
        if (!dir.empty())
            return dir;
    }
    *error = "no module directory: neither " + bin + "/../lib/plughost/modules nor " + bin +
             "/../modules exists (use --module-dir)";
    return {};
}

std::vector<ListenSpec> listenSpecs(const Options &o, const std::string &moduleDir, std::string *error)
{
    std::vector<ListenSpec> specs;
    for (const auto &s : o.listen) {
        ListenSpec spec;
        *error = splitListenSpec(s, &spec.name, &spec.address);
        if (!error->empty())
            return {};
        specs.push_back(spec);
    }
    if (!specs.empty())
        return specs;
    const std::pair<const char *, const char *> defaults[] = {{"ov_handler", "127.0.0.1:7411"},
                                                              {"dvl_handler", "127.0.0.1:7412"}};
    for (const auto &[name, address] : defaults) {
        if (fileExists(moduleDir + "/" + name + ".so"))
            specs.push_back({name, address});
        else
            log(LOG_WARN, "{}.so not found in {}; {} is not served", name, moduleDir, address);
    }
    if (specs.empty())
        *error = "no plug-in found in " + moduleDir + " (looked for ov_handler.so and dvl_handler.so)";
    return specs;
}

int fail(const std::string &message)
{
    log(LOG_FATAL, "{}", message);
    return 1;
}

int serve(const Options &o)
{
    std::string error;
    const std::string moduleDir = resolveModuleDir(o, &error);
    if (!error.empty())
        return fail(error);
    ModuleDirectory = moduleDir.c_str();
    const std::vector<ListenSpec> specs = listenSpecs(o, moduleDir, &error);
    if (!error.empty())
        return fail(error);

    Limits limits;
    limits.maxInput = o.maxInput;
    limits.maxOutput = o.maxOutput;
    Host host(limits);
    error = host.open();
    if (!error.empty())
        return fail(error);

    // Listeners first: a busy address stops the start before any plug-in runs.
    std::vector<Listener> listeners;
    for (const auto &spec : specs) {
        Listener l;
        error = openListener(spec.address, l);
        if (!error.empty())
            return fail("cannot serve " + spec.name + " on " + spec.address + ": " + error);
        if (!l.loopback)
            log(LOG_WARN,
                "{} listens on {}, which is not a loopback address: every client that can connect may follow "
                "any file the server can read",
                spec.name, l.shown);
        l.pluginName = spec.name;
        listeners.push_back(std::move(l));
    }
    for (const auto &spec : specs) {
        if (host.findPlugin(spec.name))
            continue;
        auto plugin = loadPlugin(moduleDir, spec.name, &error);
        if (!plugin)
            return fail(error);
        log(LOG_INFO, "loaded {}", plugin->path);
        host.addPlugin(std::move(plugin));
    }
    for (const auto &setting : o.pluginOptions) {
        std::string name, key, value;
        splitPluginOption(setting, &name, &key, &value); // checked when parsed
        if (Plugin *p = host.findPlugin(name))
            p->options[key] = value; // the last one given wins
        else
            log(LOG_WARN, "--plugin-option {}: no plug-in {} is loaded", setting, name);
    }
    for (auto &l : listeners) {
        l.plugin = host.findPlugin(l.pluginName);
        host.addListener(std::move(l));
    }
    host.initializePlugins();

    for (const auto &l : host.listeners()) {
        log(LOG_INFO, "listening on {} ({})", l.shown, l.pluginName);
        std::printf("listening on %s (%s)\n", l.shown.c_str(), l.pluginName.c_str());
    }
    std::printf("ready\n");
    std::fflush(stdout);
    notifyReady();
    return host.run();
}

} // namespace

int main(int argc, char **argv)
{
    int exitCode = 0;
    const auto options = parseOptions(argc, argv, &exitCode);
    if (!options)
        return exitCode;
    keepStandardDescriptorsOpen();
    // Frames of several megabytes come and go all the time. Serving them from
    // the heap lets freed memory be reused; fresh mappings would be faulted in
    // and zeroed again for every frame.
    ::mallopt(M_MMAP_THRESHOLD, 64 << 20);
    ::mallopt(M_TRIM_THRESHOLD, 128 << 20);
    const std::string logError =
        setupLogger(options->logLevel, static_cast<long long>(options->logMaxSize), options->logFile);
    if (!logError.empty())
        return fail(logError);
    return serve(*options);
}
