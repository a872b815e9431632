#include "common/text.hpp"

std::string FormatValue::text() const
{
    if (auto v = std::get_if<std::int64_t>(&value_)) return std::to_string(*v);
    if (auto v = std::get_if<std::uint64_t>(&value_)) return std::to_string(*v);
    if (auto v = std::get_if<bool>(&value_)) return *v ? "true" : "false";
    return std::get<std::string>(value_);
}

std::string visibleText(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte >= 0x20 && byte != 0x7F) || c == '\t') {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += "\\x";
            out += hex[byte >> 4];
            out += hex[byte & 0x0F];
        }
    }
    return out;
}

std::string formatText(std::string_view format, const std::vector<FormatValue>& values)
{
    std::string out;
    out.reserve(format.size());
    std::size_t nextValue = 0;
    std::size_t at = 0;
    while (at < format.size()) {
        char c = format[at];
        if (c != '{') {
            out += c;
            ++at;
            continue;
        }
        if (at + 1 < format.size() && format[at + 1] == '{') {
            out += '{';
            at += 2;
            continue;
        }
        std::size_t close = format.find('}', at + 1);
        if (close == std::string_view::npos) {
            out += "{malformed format}";
            break;
        }
        std::string_view inside = format.substr(at + 1, close - at - 1);
        std::size_t index = nextValue;
        if (!inside.empty()) {
            // Only an explicit argument number is understood besides the plain form.
            bool digits = inside.size() <= 9;
            for (char d : inside) digits = digits && d >= '0' && d <= '9';
            if (!digits) {
                out += "{malformed format}";
                at = close + 1;
                continue;
            }
            index = std::stoul(std::string(inside));
        } else {
            ++nextValue;
        }
        out += index < values.size() ? values[index].text() : std::string("{invalid index}");
        at = close + 1;
    }
    return out;
}
