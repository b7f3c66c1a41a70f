// A loaded plug-in: its library handle and its six exports. The address of
// the Plugin object is the handle the plug-in receives in Initialize.
#pragma once

#include "plugin_api.h"

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace plughost {

struct Plugin {
    std::string name;
    std::string path;
    void *library = nullptr;
    InitializeFn initialize = nullptr;
    DisposeFn dispose = nullptr;
    ClientHandlerFn clientHandler = nullptr;
    ExecutableHandlerFn executableHandler = nullptr;
    TimeoutHandlerFn timeoutHandler = nullptr;
    IOHandlerFn ioHandler = nullptr;
    bool initialized = false;
    // --plugin-option NAME.KEY=VALUE for this plug-in, and the keys it asked for.
    std::map<std::string, std::string> options;
    std::set<std::string> optionsAsked;
    // SetTimeout: when TimeoutHandler is due, if armed.
    bool timeoutArmed = false;
    std::chrono::steady_clock::time_point timeoutAt{};

    Plugin() = default;
    Plugin(const Plugin &) = delete;
    Plugin &operator=(const Plugin &) = delete;
    ~Plugin();
};

// Loads DIR/NAME.so and resolves every export. Returns null with *error
// naming the plug-in and the missing export or the loader's reason.
std::unique_ptr<Plugin> loadPlugin(const std::string &moduleDir, const std::string &name, std::string *error);

} // namespace plughost
