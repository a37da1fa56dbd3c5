#pragma once

#include <array>
#include <cstdint>

// One TCP connection as a capture shows it: the addresses and ports of this
// side and of the peer, whether the bytes went over TLS (the transcript then
// holds them decrypted) and which side opened it. Connection control tells
// the transcript when one starts and ends; like TextOrigin it lives where
// connection control can see it and nothing else of the transcript.
struct ConversationEnd {
    // An IPv4 address in the first 4 bytes, or an IPv6 address; network order.
    std::array<std::uint8_t, 16> address{};
    bool ipv6 = false;
    std::uint16_t port = 0; // host order

    bool operator==(const ConversationEnd&) const = default;
};

struct Conversation {
    ConversationEnd here; // this side of the connection
    ConversationEnd peer;
    bool tls = false;
    bool openedHere = true; // this side sent the first SYN

    bool operator==(const Conversation&) const = default;
};
