// Listening sockets: TCP over IPv4 or IPv6, and Unix-domain sockets.
#pragma once

#include "fd.h"

#include <string>

namespace plughost {

struct Plugin;

struct Listener {
    Fd fd;
    std::string pluginName;
    Plugin *plugin = nullptr;
    std::string shown;    // the bound address, with the actual port
    std::string unixPath; // socket file to remove at exit; empty for TCP
    bool tcp = false;
    bool loopback = true; // reachable from this machine only

    Listener() = default;
    Listener(Listener &&) = default;
    Listener &operator=(Listener &&) = default;
    ~Listener();
};

// Splits "NAME=ADDR". Returns an error text, empty on success.
std::string splitListenSpec(const std::string &spec, std::string *name, std::string *address);

// Binds and listens on ADDR: "host:port", "[v6addr]:port" or "unix:/path".
// Port 0 picks a free port. Returns an error text, empty on success.
std::string openListener(const std::string &address, Listener &out);

} // namespace plughost

namespace plughost {
// "host:port" or "[v6]:port" of a peer; "unix" for Unix-domain peers.
std::string describePeer(const void *sockaddrStorage);
} // namespace plughost
