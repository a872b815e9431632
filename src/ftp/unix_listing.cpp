#include "ftp/unix_listing.hpp"

#include <array>
#include <cstdint>

namespace {
bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool allDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (!isDigit(c)) return false;
    return true;
}

std::optional<std::uint64_t> number(std::string_view text)
{
    if (!allDigits(text)) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;  // never wrapped
        value = value * 10 + digit;
    }
    return value;
}

bool isMonth(std::string_view text)
{
    static constexpr std::array<std::string_view, 12> months{"jan", "feb", "mar", "apr", "may", "jun",
                                                             "jul", "aug", "sep", "oct", "nov", "dec"};
    if (text.size() != 3) return false;
    char lower[3];
    for (int i = 0; i < 3; ++i) lower[i] = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    for (std::string_view month : months)
        if (month == std::string_view(lower, 3)) return true;
    return false;
}

bool isDay(std::string_view text)
{
    auto day = text.size() <= 2 ? number(text) : std::nullopt;
    return day && *day >= 1 && *day <= 31;
}

// "HH:MM" (recent files) or a year (older ones).
bool isTimeOrYear(std::string_view text)
{
    if (text.size() == 4 && allDigits(text)) return true;
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 2 || text.size() != colon + 3) return false;
    auto hour = number(text.substr(0, colon)), minute = number(text.substr(colon + 1));
    return hour && minute && *hour <= 23 && *minute <= 59;
}

// A device shows "major, minor" where a file shows its size.
bool isDeviceNumbers(std::string_view first, std::string_view second)
{
    return first.size() > 1 && first.back() == ',' && allDigits(first.substr(0, first.size() - 1)) &&
           allDigits(second);
}

struct Field {
    std::string_view text;
    std::size_t end;  // offset in the line just past the field
};

bool readLine(std::string_view line, RemoteEntry& entry)
{
    // The mode: a type, nine permission letters, perhaps a mark for ACLs or attributes.
    if (line.size() < 11) return false;
    const char type = line[0];
    if (!(type == '-' || (type >= 'a' && type <= 'z') || (type >= 'A' && type <= 'Z'))) return false;
    for (std::size_t i = 1; i < 10; ++i)
        if (std::string_view("-rwxsStTlL").find(line[i]) == std::string_view::npos) return false;
    std::size_t at = 10;
    if (line[at] == '+' || line[at] == '@' || line[at] == '.') ++at;
    if (at >= line.size() || !isBlank(line[at])) return false;

    // Enough fields for the longest form; the name may hold blanks, so it is cut out by offset.
    std::array<Field, 8> fields{};
    std::size_t count = 0;
    while (count < fields.size()) {
        while (at < line.size() && isBlank(line[at])) ++at;
        if (at >= line.size()) break;
        const std::size_t start = at;
        while (at < line.size() && !isBlank(line[at])) ++at;
        fields[count++] = {line.substr(start, at - start), at};
    }
    // links owner [group] size month day time: the size is where the month follows it, so
    // a missing group cannot be mistaken for one. A device has two numbers for its size.
    const bool other = type != '-' && type != 'd';
    for (std::size_t sizeAt : {3u, 2u}) {
        std::size_t monthAt = sizeAt + 1;
        bool sizeRead = allDigits(fields[sizeAt].text);
        if (!sizeRead && other && monthAt < count && isDeviceNumbers(fields[sizeAt].text, fields[monthAt].text)) {
            sizeRead = true;
            ++monthAt;
        }
        if (!sizeRead || monthAt + 2 >= count || !allDigits(fields[0].text)) continue;
        if (!isMonth(fields[monthAt].text) || !isDay(fields[monthAt + 1].text)) continue;
        const Field& time = fields[monthAt + 2];
        if (!isTimeOrYear(time.text)) continue;
        // Exactly one blank before the name: any more belong to it.
        if (time.end + 1 >= line.size()) return false;
        entry = RemoteEntry{};
        entry.name = std::string(line.substr(time.end + 1));
        entry.folder = type == 'd';
        entry.other = other;
        entry.link = type == 'l';
        if (type == 'l') {
            const std::size_t arrow = entry.name.find(" -> ");
            if (arrow != std::string::npos) entry.name.resize(arrow);
        }
        if (type == '-') {
            entry.size = number(fields[sizeAt].text);
            if (!entry.size) return false;
        }
        return !entry.name.empty();
    }
    return false;
}

bool isTotal(std::string_view line)
{
    if (line.substr(0, 5) != "total") return false;
    std::size_t at = 5;
    if (at >= line.size() || !isBlank(line[at])) return false;
    while (at < line.size() && isBlank(line[at])) ++at;
    return allDigits(line.substr(at));
}
}

bool nextListingLine(std::string_view listing, std::size_t& start, std::string_view& line)
{
    if (start >= listing.size()) return false;
    const std::size_t end = listing.find('\n', start);
    line = listing.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    start = end == std::string_view::npos ? listing.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return true;
}

bool parseUnixListing(std::string_view listing, std::vector<RemoteEntry>& entries)
{
    entries.clear();
    std::size_t start = 0;
    for (std::string_view line; nextListingLine(listing, start, line);) {
        if (line.empty() || isTotal(line)) continue;
        RemoteEntry entry;
        if (!readLine(line, entry)) {
            entries.clear();
            return false;
        }
        if (entry.name == "." || entry.name == "..") continue;
        entries.push_back(std::move(entry));
    }
    return true;
}
