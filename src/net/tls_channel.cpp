#include "net/tls_channel.hpp"

#include <algorithm>

#include "net/ip_address.hpp"
#include "net/socket_set.hpp"

TlsContext::~TlsContext() = default;

std::optional<std::string> normaliseFingerprint(std::string_view text)
{
    std::string hex;
    for (char c : text) {
        if (c == ':') continue;
        if (c >= '0' && c <= '9')
            hex += c;
        else if (c >= 'a' && c <= 'f')
            hex += c;
        else if (c >= 'A' && c <= 'F')
            hex += static_cast<char>(c - 'A' + 'a');
        else
            return std::nullopt;
    }
    if (hex.size() != 64) return std::nullopt;
    return hex;
}

namespace tls {
namespace {
std::string hexWith(const Sha256& digest, const char* digits, bool colons)
{
    std::string text;
    for (std::uint8_t byte : digest) {
        if (colons && !text.empty()) text += ':';
        text += digits[byte >> 4];
        text += digits[byte & 0x0F];
    }
    return text;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equalNoCase(std::string_view a, std::string_view b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

// A wildcard stands for exactly one whole label, and only as the leftmost label of
// a name with at least two more, so "*.com" or "a*.example.com" never match.
bool dnsNameMatches(std::string_view pattern, std::string_view host)
{
    if (!pattern.empty() && pattern.back() == '.') pattern.remove_suffix(1);
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    if (pattern.empty() || host.empty()) return false;
    if (pattern.substr(0, 2) != "*.") return equalNoCase(pattern, host);
    std::string_view suffix = pattern.substr(1);  // ".example.com"
    if (suffix.find('.', 1) == std::string_view::npos || suffix.find('*') != std::string_view::npos) return false;
    std::size_t dot = host.find('.');
    return dot != 0 && dot != std::string_view::npos && equalNoCase(host.substr(dot), suffix);
}
}

std::string displayFingerprint(const Sha256& digest) { return hexWith(digest, "0123456789ABCDEF", true); }

std::string hexFingerprint(const Sha256& digest) { return hexWith(digest, "0123456789abcdef", false); }

std::string refusalMessage(Refusal reason, const std::string& host, const Sha256& digest)
{
    std::string why;
    switch (reason) {
    case Refusal::untrustedRoot: why = "untrusted root"; break;
    case Refusal::expired: why = "expired"; break;
    case Refusal::nameMismatch: why = "name mismatch (certificate is not for " + host + ")"; break;
    case Refusal::fingerprintMismatch: why = "fingerprint mismatch"; break;
    }
    return "TLS certificate refused: " + why + "; its SHA-256 fingerprint is " + displayFingerprint(digest) +
           " (check it, then pass it with --tls-fingerprint)";
}

std::string handshakeFailure(const std::string& reason) { return "TLS handshake failed: " + reason; }

std::string certificateDemanded()
{
    return handshakeFailure("the server asks for a client certificate, which this program does not send");
}

bool hostMatches(const CertificateNames& names, const std::string& host)
{
    if (auto address = IpAddress::parse(host)) {
        const std::vector<std::uint8_t> wanted = address->bytes();
        return std::find(names.ipAddresses.begin(), names.ipAddresses.end(), wanted) != names.ipAddresses.end();
    }
    if (names.dnsNames.empty()) return names.commonName.find('*') == std::string::npos && dnsNameMatches(names.commonName, host);
    return std::any_of(names.dnsNames.begin(), names.dnsNames.end(), [&](const std::string& name) { return dnsNameMatches(name, host); });
}

Deadline::Deadline(std::chrono::microseconds limit)
    : end_(std::chrono::steady_clock::now() + std::max(limit, std::chrono::microseconds(0)))
{
}

bool Deadline::wait(const Socket& socket, unsigned events)
{
    auto left = std::chrono::duration_cast<std::chrono::microseconds>(end_ - std::chrono::steady_clock::now());
    // A peer trickling bytes must not stretch an operation past its limit.
    if (waited_ && left.count() <= 0) return false;
    waited_ = true;
    SocketSet set;
    set.add(socket, events);
    return set.wait(left) > 0;
}
}
