#include "options.h"

#include <CLI/CLI.hpp>

namespace plughost {

std::string splitPluginOption(const std::string &setting, std::string *name, std::string *key, std::string *value)
{
    const auto dot = setting.find('.');
    const auto eq = setting.find('=');
    if (dot == std::string::npos || eq == std::string::npos || dot == 0 || eq < dot + 2)
        return "expected NAME.KEY=VALUE, got \"" + setting + "\"";
    *name = setting.substr(0, dot);
    *key = setting.substr(dot + 1, eq - dot - 1);
    *value = setting.substr(eq + 1);
    return {};
}

std::optional<Options> parseOptions(int argc, char **argv, int *exitCode)
{
    Options o;
    CLI::App app{"plughost: serves clients through loadable plug-ins", "plughost"};
    app.set_version_flag("--version", std::string("plughost ") + PLUGHOST_VERSION);
    app.set_config("--config", "", "Read settings from FILE (TOML or INI; keys are the long option names)");
    app.add_option("--module-dir", o.moduleDir, "Directory of the plug-ins and the programs they start")
        ->check(CLI::ExistingDirectory);
    app.add_option("--listen", o.listen,
                   "NAME=ADDR: serve ADDR (host:port, [v6]:port or unix:/path) with plug-in NAME.so")
        ->take_all();
    app.add_option("--log-level", o.logLevel, "1 fatal, 2 error, 3 warn, 4 info, 5 debug")
        ->check(CLI::Range(1, 5))
        ->capture_default_str();
    app.add_option("--log-max-size", o.logMaxSize, "Size at which --log-file is rotated (bytes, or 10MiB etc.)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{4096}, std::uint64_t{1} << 40))
        ->capture_default_str();
    app.add_option("--log-file", o.logFile, "Log to PATH (rotated, 3 old files kept) instead of stderr");
    app.add_option("--max-input", o.maxInput, "Unconsumed input held for one client (bytes)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 40))
        ->capture_default_str();
    app.add_option("--max-output", o.maxOutput,
                   "Unsent output held for one client, and the size cap of plug-in buffers (bytes)")
        ->transform(CLI::AsSizeValue(false))
        ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 40))
        ->capture_default_str();
    app.add_option("--plugin-option", o.pluginOptions,
                   "NAME.KEY=VALUE: setting KEY for plug-in NAME (repeatable; see the plug-in's documentation)")
        ->take_all()
        ->check([](const std::string &setting) {
            std::string name, key, value;
            return splitPluginOption(setting, &name, &key, &value);
        });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        *exitCode = app.exit(e);
        return std::nullopt;
    }
    return o;
}

} // namespace plughost
