#include "common/case_fold.hpp"

#include "common/utf8.hpp"

namespace {
char32_t smallLetter(char32_t c)
{
    if (c >= U'A' && c <= U'Z') return c + 32;
    if ((c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3AB && c != 0x3A2) ||
        (c >= 0x410 && c <= 0x42F))
        return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    // Latin Extended-A pairs capital and small letter, mostly capital first.
    if (c >= 0x100 && c <= 0x137 && c % 2 == 0) return c + 1;
    if (c >= 0x139 && c <= 0x148 && c % 2 == 1) return c + 1;
    if (c >= 0x14A && c <= 0x177 && c % 2 == 0) return c + 1;
    if (c == 0x178) return 0xFF;
    if ((c == 0x179 || c == 0x17B || c == 0x17D)) return c + 1;
    return c;
}

void append(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}
}

std::string caseFolded(std::string_view name)
{
    std::string out;
    out.reserve(name.size());
    for (std::size_t at = 0; at < name.size();) {
        const std::size_t length = utf8SequenceLength(name, at);
        if (length == 0 || length > 2) {
            // Nothing above U+07FF folds here: copied as it stands (or as it is garbled).
            const std::size_t take = length == 0 ? 1 : length;
            out.append(name.substr(at, take));
            at += take;
            continue;
        }
        char32_t c = static_cast<unsigned char>(name[at]);
        if (length == 2) c = ((c & 0x1F) << 6) | (static_cast<unsigned char>(name[at + 1]) & 0x3F);
        append(out, smallLetter(c));
        at += length;
    }
    return out;
}
