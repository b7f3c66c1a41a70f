#include "listener.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

namespace plughost {

Listener::~Listener()
{
    if (!unixPath.empty() && fd)
        ::unlink(unixPath.c_str());
}

std::string splitListenSpec(const std::string &spec, std::string *name, std::string *address)
{
    const auto eq = spec.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == spec.size())
        return "--listen expects NAME=ADDR, got \"" + spec + "\"";
    *name = spec.substr(0, eq);
    *address = spec.substr(eq + 1);
    for (char c : *name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-' || c == '.';
        if (!ok || *name == "." || *name == "..")
            return "plug-in name \"" + *name + "\" may hold only letters, digits, '_', '-' and '.'";
    }
    return {};
}

namespace {

std::string sysError(const std::string &what) { return what + ": " + std::strerror(errno); }

bool isLoopback(const sockaddr *sa)
{
    if (sa->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    if (IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr))
        return true;
    return IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr) && in6->sin6_addr.s6_addr[12] == 127;
}

std::string showInet(const sockaddr *sa)
{
    char host[INET6_ADDRSTRLEN] = {};
    if (sa->sa_family == AF_INET) {
        const auto *in = reinterpret_cast<const sockaddr_in *>(sa);
        ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    const auto *in6 = reinterpret_cast<const sockaddr_in6 *>(sa);
    ::inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
    std::string shown = "[";
    shown += host;
    shown += "]:";
    shown += std::to_string(ntohs(in6->sin6_port));
    return shown;
}

std::string openUnix(const std::string &address, const std::string &path, Listener &out)
{
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof sun.sun_path)
        return "socket path of \"" + address + "\" is empty or longer than " +
               std::to_string(sizeof sun.sun_path - 1) + " bytes";
    std::memcpy(sun.sun_path, path.c_str(), path.size() + 1);

    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode))
            return path + " exists and is not a socket";
        // A socket file nobody listens on is left over from an earlier run.
        Fd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!probe)
            return sysError("socket");
        if (::connect(probe.get(), reinterpret_cast<sockaddr *>(&sun), sizeof sun) == 0 || errno == EAGAIN)
            return path + ": address already in use (a server listens there)";
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            return sysError("cannot remove the stale socket " + path);
    }
    Fd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd)
        return sysError("socket");
    if (::bind(fd.get(), reinterpret_cast<sockaddr *>(&sun), sizeof sun) != 0)
        return sysError("cannot bind " + address);
    out.unixPath = path;
    out.fd = std::move(fd);
    if (::listen(out.fd.get(), SOMAXCONN) != 0)
        return sysError("cannot listen on " + address);
    out.shown = address;
    out.tcp = false;
    out.loopback = true;
    return {};
}

std::string openTcp(const std::string &address, Listener &out)
{
    std::string host, port;
    if (!address.empty() && address[0] == '[') {
        const auto close = address.find(']');
        if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
            return "bad address \"" + address + "\": expected [v6address]:port";
        host = address.substr(1, close - 1);
        port = address.substr(close + 2);
    } else {
        const auto colon = address.rfind(':');
        if (colon == std::string::npos || address.find(':') != colon)
            return "bad address \"" + address + "\": expected host:port, [v6address]:port or unix:/path";
        host = address.substr(0, colon);
        port = address.substr(colon + 1);
    }
    unsigned portNumber = 0;
    const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), portNumber);
    if (port.empty() || ec != std::errc() || end != port.data() + port.size() || portNumber > 65535)
        return "bad port in \"" + address + "\"";

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo *found = nullptr;
    const int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0)
        return "cannot resolve \"" + address + "\": " + ::gai_strerror(rc);
    const addrinfo *ai = found;
    Fd fd(::socket(ai->ai_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    std::string error;
    if (!fd) {
        error = sysError("socket");
    } else {
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (ai->ai_family == AF_INET6)
            ::setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
        if (::bind(fd.get(), ai->ai_addr, ai->ai_addrlen) != 0)
            error = sysError("cannot bind " + address);
        else if (::listen(fd.get(), SOMAXCONN) != 0)
            error = sysError("cannot listen on " + address);
    }
    if (error.empty()) {
        sockaddr_storage bound{};
        socklen_t len = sizeof bound;
        ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&bound), &len);
        out.shown = showInet(reinterpret_cast<sockaddr *>(&bound));
        out.loopback = isLoopback(reinterpret_cast<sockaddr *>(&bound));
        out.tcp = true;
        out.fd = std::move(fd);
    }
    ::freeaddrinfo(found);
    return error;
}

} // namespace

std::string openListener(const std::string &address, Listener &out)
{
    if (address.rfind("unix:", 0) == 0)
        return openUnix(address, address.substr(5), out);
    return openTcp(address, out);
}

} // namespace plughost

namespace plughost {
std::string describePeer(const void *sockaddrStorage)
{
    const auto *sa = static_cast<const sockaddr *>(sockaddrStorage);
    if (sa->sa_family == AF_INET || sa->sa_family == AF_INET6)
        return showInet(sa);
    return "unix";
}
} // namespace plughost
