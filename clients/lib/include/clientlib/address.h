// Server addresses as the host's --listen takes them:
// "host:port", "[v6]:port" and "unix:/path".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace clientlib {

struct Address {
    enum class Kind { Tcp, Unix };
    Kind kind = Kind::Tcp;
    std::string host;   // Tcp: host name, IPv4 or IPv6 literal (without brackets); empty: loopback
    uint16_t port = 0;  // Tcp: 1 ... 65535
    std::string path;   // Unix: socket path

    // The canonical text form; parsing it gives the same address back.
    std::string ToString() const;
    bool operator==(const Address&) const = default;
};

// Throws ClientError(BadAddress) with the reason when the text is not an address.
Address ParseAddress(std::string_view text);

}  // namespace clientlib
