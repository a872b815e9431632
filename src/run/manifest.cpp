#include "run/manifest.hpp"

#include <set>

#include "common/utf8.hpp"

namespace {
constexpr std::size_t hashDigits = 64;
constexpr std::size_t maxPathBytes = 4096;
constexpr std::size_t maxLineBytes = 8 * 1024;

bool isHash(std::string_view text)
{
    if (text.size() != hashDigits) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}
}

bool manifestPathIsClean(std::string_view path)
{
    if (path.empty() || path.size() > maxPathBytes || !isValidUtf8(path)) return false;
    for (char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '\\') return false;
    }
    std::size_t start = 0;
    for (;;) {
        const std::size_t slash = path.find('/', start);
        const std::string_view part = path.substr(start, slash == std::string_view::npos ? slash : slash - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (slash == std::string_view::npos) return true;
        start = slash + 1;
    }
}

Manifest parseManifest(std::string_view text)
{
    Manifest manifest;
    std::set<std::string, std::less<>> repeated;
    std::size_t start = 0;
    // A last line without its "\n" may have been cut mid-path, so only ended lines count.
    for (std::size_t end; (end = text.find('\n', start)) != std::string_view::npos; start = end + 1) {
        const std::string_view line = text.substr(start, end - start);
        if (line.size() > maxLineBytes || line.size() <= hashDigits + 2) continue;
        // A leading "\" (sha256sum's escaped form, for names a clean path never has) fails here.
        if (!isHash(line.substr(0, hashDigits))) continue;
        if (line[hashDigits] != ' ' || (line[hashDigits + 1] != ' ' && line[hashDigits + 1] != '*')) continue;
        const std::string_view path = line.substr(hashDigits + 2);
        if (!manifestPathIsClean(path) || repeated.contains(path)) continue;
        auto [at, added] = manifest.hashes.emplace(std::string(path), std::string(line.substr(0, hashDigits)));
        if (!added) {
            // Two hashes for one path: neither can be trusted.
            manifest.hashes.erase(at);
            repeated.emplace(path);
        }
    }
    return manifest;
}

std::string formatManifest(const Manifest& manifest)
{
    std::string out;
    for (const auto& [path, hash] : manifest.hashes) {
        if (!isHash(hash) || !manifestPathIsClean(path)) continue;
        out += hash;
        out += "  ";
        out += path;
        out += '\n';
    }
    return out;
}
