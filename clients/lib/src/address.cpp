#include "clientlib/address.h"

#include <arpa/inet.h>
#include <sys/un.h>

#include <string>

#include "clientlib/error.h"

namespace clientlib {
namespace {

[[noreturn]] void Bad(std::string_view text, const std::string& why) {
    throw ClientError(ErrorKind::BadAddress,
                      "bad address \"" + std::string(text) + "\": " + why +
                          " (expected host:port, [v6]:port or unix:/path)");
}

uint16_t ParsePort(std::string_view all, std::string_view port) {
    if (port.empty()) Bad(all, "the port is missing");
    if (port.size() > 5) Bad(all, "the port is out of range");
    uint32_t value = 0;
    for (char c : port) {
        if (c < '0' || c > '9') Bad(all, "the port is not a number");
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (value == 0 || value > 65535) Bad(all, "the port must be 1 to 65535");
    return static_cast<uint16_t>(value);
}

bool IsHostNameChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '.' || c == '-' || c == '_';
}

}  // namespace

Address ParseAddress(std::string_view text) {
    Address a;
    constexpr std::string_view kUnix = "unix:";
    if (text.substr(0, kUnix.size()) == kUnix) {
        std::string_view path = text.substr(kUnix.size());
        if (path.empty()) Bad(text, "the socket path is empty");
        if (path.find('\0') != std::string_view::npos) Bad(text, "the socket path holds a NUL byte");
        if (path.size() >= sizeof(sockaddr_un{}.sun_path))
            Bad(text, "the socket path is longer than " +
                          std::to_string(sizeof(sockaddr_un{}.sun_path) - 1) + " bytes");
        a.kind = Address::Kind::Unix;
        a.path = std::string(path);
        return a;
    }
    if (!text.empty() && text.front() == '[') {
        size_t close = text.find(']');
        if (close == std::string_view::npos) Bad(text, "the ']' after the IPv6 address is missing");
        std::string v6(text.substr(1, close - 1));
        if (v6.empty()) Bad(text, "the IPv6 address is empty");
        in6_addr scratch{};
        if (inet_pton(AF_INET6, v6.c_str(), &scratch) != 1) Bad(text, "not an IPv6 address");
        std::string_view rest = text.substr(close + 1);
        if (rest.empty() || rest.front() != ':') Bad(text, "':port' must follow the ']'");
        a.host = v6;
        a.port = ParsePort(text, rest.substr(1));
        return a;
    }
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) Bad(text, "the ':port' is missing");
    std::string_view host = text.substr(0, colon);
    if (host.find(':') != std::string_view::npos)
        Bad(text, "an IPv6 address must stand in brackets");
    for (char c : host)
        if (!IsHostNameChar(c)) Bad(text, "the host holds a character no host name has");
    a.host = std::string(host);
    a.port = ParsePort(text, text.substr(colon + 1));
    return a;
}

std::string Address::ToString() const {
    if (kind == Kind::Unix) return "unix:" + path;
    if (host.find(':') != std::string::npos) return "[" + host + "]:" + std::to_string(port);
    return host + ":" + std::to_string(port);
}

}  // namespace clientlib
