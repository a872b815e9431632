// What is already on the server: a folder's machine-readable listing (MLSD), or a
// file's size and time (SIZE, MDTM, one file at a time or pipelined), and setting a
// stored file's time (MFMT, or the "MDTM time path" form some servers take instead).
#include <chrono>

#include "ftp/data_connection.hpp"
#include "ftp/ftp_connection.hpp"
#include "ftp/data_trace.hpp"
#include "ftp/unix_listing.hpp"

namespace {
// A listing is bounded like any reply: a server cannot make the client hold more.
constexpr std::size_t maxListingBytes = 16 * 1024 * 1024;
// One write of SIZE and MDTM pairs. The byte bound keeps the replies, which often repeat
// the path, well inside the receive buffer while the rest of the write goes out: a server
// blocked on its replies stops reading commands.

char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text)
{
    std::string out(text);
    for (char& c : out) c = lower(c);
    return out;
}

bool allDigits(std::string_view text)
{
    if (text.empty()) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    return true;
}


// Days from 1970-01-01 to a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}
}

std::optional<std::uint64_t> sizeFrom(const FtpReply& reply)
{
    if (reply.code != "213" || !allDigits(reply.message) || reply.message.size() >= 20) return std::nullopt;
    return std::stoull(reply.message);
}

std::optional<std::int64_t> parseFtpTime(std::string_view text)
{
    // YYYYMMDDHHMMSS, optionally followed by a fraction that whole seconds ignore.
    std::size_t dot = text.find('.');
    std::string_view whole = text.substr(0, dot);
    if (whole.size() != 14 || !allDigits(whole)) return std::nullopt;
    if (dot != std::string_view::npos && !allDigits(text.substr(dot + 1))) return std::nullopt;
    auto number = [&](std::size_t at, std::size_t length) {
        unsigned value = 0;
        for (std::size_t i = at; i < at + length; ++i) value = value * 10 + static_cast<unsigned>(whole[i] - '0');
        return value;
    };
    unsigned year = number(0, 4), month = number(4, 2), day = number(6, 2);
    unsigned hour = number(8, 2), minute = number(10, 2), second = number(12, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    return daysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}

std::string formatFtpTime(std::int64_t seconds)
{
    std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    std::int64_t rest = seconds - days * 86400;
    // Civil date from days (inverse of daysFromCivil).
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t year = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned day = doy - (153 * mp + 2) / 5 + 1;
    const unsigned month = mp < 10 ? mp + 3 : mp - 9;
    year += month <= 2;
    auto two = [](std::int64_t value) {
        std::string digits = std::to_string(value);
        return digits.size() < 2 ? "0" + digits : digits;
    };
    std::string out = std::to_string(year);
    while (out.size() < 4) out.insert(out.begin(), '0');
    return out + two(month) + two(day) + two(rest / 3600) + two(rest / 60 % 60) + two(rest % 60);
}

std::vector<RemoteEntry> parseMlsd(std::string_view listing, bool* unreadable, std::string* ownUnique)
{
    if (unreadable) *unreadable = false;
    auto doubt = [unreadable] {
        if (unreadable) *unreadable = true;
    };
    std::vector<RemoteEntry> entries;
    std::size_t start = 0;
    for (std::string_view line; nextListingLine(listing, start, line);) {
        // "fact=value;fact=value; name": the name is everything after the first blank.
        if (line.empty()) continue;
        std::size_t blank = line.find(' ');
        if (blank == std::string_view::npos || blank + 1 >= line.size()) {
            doubt();
            continue;
        }
        RemoteEntry entry;
        entry.name = std::string(line.substr(blank + 1));
        std::string_view facts = line.substr(0, blank);
        std::string type;
        while (!facts.empty()) {
            std::size_t semi = facts.find(';');
            std::string_view fact = facts.substr(0, semi);
            facts = semi == std::string_view::npos ? std::string_view() : facts.substr(semi + 1);
            std::size_t equals = fact.find('=');
            if (equals == std::string_view::npos) {
                doubt();
                continue;
            }
            std::string name = lowered(fact.substr(0, equals));
            std::string_view value = fact.substr(equals + 1);
            if (name == "type") type = lowered(value);
            else if (name == "size" && allDigits(value) && value.size() < 20) entry.size = std::stoull(std::string(value));
            else if (name == "modify") entry.modified = parseFtpTime(value);
            else if (name == "unique") entry.unique = std::string(value);
            else if (name == "os.unix" && (lowered(value).starts_with("slink") || lowered(value).starts_with("symlink")))
                entry.link = true;
        }
        entry.folder = type == "dir" || type == "cdir" || type == "pdir";
        if (type == "cdir" && ownUnique) *ownUnique = entry.unique;
        if (type == "cdir" || type == "pdir") continue;
        // Links and devices ("OS.unix=slink:..."), and entries of no stated type.
        entry.other = !entry.folder && type != "file";
        entry.link = entry.link || type.starts_with("os.unix=slink") || type.starts_with("os.unix=symlink");
        // A link's type is not always its own: one named so is never taken for a folder.
        if (entry.link) {
            entry.folder = false;
            entry.other = true;
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::string FTPConnection::receiveText(const std::string& verb, const std::vector<std::string>& arguments,
                                       std::size_t limit)
{
    DataConnection data = startDataCommand(verb, arguments);
    std::string what = verb;
    for (const std::string& argument : arguments) what += " " + argument;
    DataTrace trace(*this, what, dataTraceAddress(data));
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + 10 * timeoutDuration();
    bool complete = false;
    char buffer[16384];
    while (std::chrono::steady_clock::now() < deadline && text.size() <= limit) {
        Socket::IoResult got = data.receive(buffer, sizeof buffer, waitLimit());
        if (got.status == Socket::IoStatus::closed) {
            // A TLS transfer without close_notify may have lost its end, mid-name perhaps.
            complete = data.receivedInFull();
            break;
        }
        if (got.status != Socket::IoStatus::done) break;
        text.append(buffer, got.count);
    }
    if (!complete) {
        abortTransfer(data);
        throw FTPException("420", "CLIENT: " + what + " incomplete");
    }
    data.close();
    trace.bytes(text.size());
    FtpReply reply = readReply();
    if (reply.code != "226" && reply.code != "250") raiseReplyError(reply);
    trace.succeeded("complete");
    return text;
}

std::vector<RemoteEntry> FTPConnection::listFolder(const std::string& path, std::string* ownUnique)
{
    const std::string listing =
        receiveListing("MLSD", path.empty() ? std::vector<std::string>{} : std::vector{path});
    bool unreadable = false;
    std::vector<RemoteEntry> entries = parseMlsd(listing, &unreadable, ownUnique);
    if (unreadable) throw FTPException("420", "CLIENT: MLSD " + path + " has a line that cannot be read");
    return entries;
}

std::string FTPConnection::receiveListing(const std::string& verb, const std::vector<std::string>& arguments)
{
    std::string listing = receiveText(verb, arguments, maxListingBytes);
    // Every line of a listing ends with its line end: without one the last may be cut.
    if (!listing.empty() && listing.back() != '\n')
        throw FTPException("420", "CLIENT: " + verb + " ended in the middle of a line");
    return listing;
}

std::vector<RemoteEntry> FTPConnection::listFolderUnix(const std::string& path, bool all)
{
    // Without "-a" most servers leave out the names beginning with ".".
    std::vector<std::string> arguments;
    if (all) arguments.push_back("-a");
    if (!path.empty()) arguments.push_back(path);
    std::vector<RemoteEntry> entries;
    if (!parseUnixListing(receiveListing("LIST", arguments), entries))
        throw FTPException("420", "CLIENT: LIST " + path + " has a line that cannot be read");
    return entries;
}

std::string FTPConnection::retrieveText(const std::string& path, std::size_t limit)
{
    useBinary();
    return receiveText("RETR", {path}, limit);
}

bool FTPConnection::setRemoteModified(const std::string& path, std::int64_t seconds, FtpReply* reply)
{
    const std::string time = formatFtpTime(seconds);
    const char* verb = isKnownSupported("MFMT") ? "MFMT" : isKnownSupported("MDTM") ? "MDTM" : nullptr;
    if (!verb) return false;
    issueCommand(verb, {time, path});
    const FtpReply answer = readReply();
    if (reply) *reply = answer;
    return answer.code == "213";
}

void FTPConnection::setRemoteModifiedLater(const std::string& path, std::int64_t seconds)
{
    const char* verb = isKnownSupported("MFMT") ? "MFMT" : isKnownSupported("MDTM") ? "MDTM" : nullptr;
    if (!verb) return;
    // Held until the next command that is not a store's: a store's PASV answer is then the
    // first of its batch, and not held back behind the time's by a server that waits for
    // one reply's acknowledgement before it sends the next.
    pendingTimes_ += commandLine(verb, {formatFtpTime(seconds), path});
}
