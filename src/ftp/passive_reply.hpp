#pragma once
// Reading the server's answers to PASV and EPSV, and choosing where to connect.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "net/ip_address.hpp"

struct PassiveTarget {
    std::string host;  // dotted text as the server wrote it (numbers joined with ".")
    std::uint16_t port = 0;
};

// The leftmost "h1,h2,h3,h4,p1[,p2]" (blanks allowed after each comma) in a 227
// message. Port = (p1 * 256 + p2) modulo 65536. Numbers of any length are read
// without overflow.
std::optional<PassiveTarget> parsePasvReply(std::string_view message);
// The port of the first "(ddd<port>d)" group in a 229 message, "d" being any non-digit.
std::optional<std::uint16_t> parseEpsvReply(std::string_view message);
// The integer at the start of an SPSV message (blanks, tabs, signs skipped; 0x/0b/0o
// select the base; no digits give 0).
std::uint16_t parseSpsvReply(std::string_view message);
