#include "plugin.h"

#include <dlfcn.h>
#include <unistd.h>

namespace plughost {

Plugin::~Plugin()
{
    if (library)
        ::dlclose(library);
}

namespace {

template <typename Fn>
bool resolve(Plugin &p, const char *symbol, Fn *out, std::string *error)
{
    ::dlerror();
    void *address = ::dlsym(p.library, symbol);
    if (!address) {
        *error = "plug-in " + p.name + " (" + p.path + ") lacks the export " + symbol;
        return false;
    }
    *out = reinterpret_cast<Fn>(address);
    return true;
}

} // namespace

std::unique_ptr<Plugin> loadPlugin(const std::string &moduleDir, const std::string &name, std::string *error)
{
    auto p = std::make_unique<Plugin>();
    p->name = name;
    p->path = moduleDir + "/" + name + ".so";
    if (::access(p->path.c_str(), F_OK) != 0) {
        *error = "plug-in " + name + " not found: no file " + p->path;
        return nullptr;
    }
    p->library = ::dlopen(p->path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!p->library) {
        const char *why = ::dlerror();
        *error = "plug-in " + name + " cannot be loaded: " + (why ? why : "unknown reason");
        return nullptr;
    }
    const bool ok = resolve(*p, "Initialize", &p->initialize, error) &&
                    resolve(*p, "Dispose", &p->dispose, error) &&
                    resolve(*p, "ClientHandler", &p->clientHandler, error) &&
                    resolve(*p, "ExecutableHandler", &p->executableHandler, error) &&
                    resolve(*p, "TimeoutHandler", &p->timeoutHandler, error) &&
                    resolve(*p, "IOHandler", &p->ioHandler, error);
    if (!ok)
        return nullptr;
    return p;
}

} // namespace plughost
