// Command line and config file settings of plughost.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace plughost {

struct Options {
    std::string moduleDir;           // empty: ../modules next to the binary
    std::vector<std::string> listen; // NAME=ADDR; empty: the default plug-ins
    int logLevel = 3;
    std::uint64_t logMaxSize = 10ULL * 1024 * 1024;
    std::string logFile;              // empty: stderr
    std::uint64_t maxInput = 128ULL * 1024 * 1024;
    std::uint64_t maxOutput = 64ULL * 1024 * 1024;
    std::vector<std::string> pluginOptions; // NAME.KEY=VALUE
};

// Splits "NAME.KEY=VALUE". Returns an error text, empty when it is well formed.
std::string splitPluginOption(const std::string &setting, std::string *name, std::string *key, std::string *value);

// Parses argv (and --config FILE). Returns the options, or nullopt with
// *exitCode set when the program should end now (--help, --version: 0;
// a bad option: non-zero); CLI11 has printed what was needed.
std::optional<Options> parseOptions(int argc, char **argv, int *exitCode);

} // namespace plughost
