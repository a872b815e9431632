// What the server knows of many remote paths at once: SIZE and MDTM, or MLST where FEAT
// names it, sent in windows that are kept in flight and answered in order. A reply that
// does not fit its query ends the pipelining for the session: the dialogue is brought back
// in step, and the paths without a trustworthy answer are asked one at a time.
#include <algorithm>
#include <chrono>
#include <deque>
#include <utility>

#include "ftp/ftp_connection.hpp"

namespace {
// Per window: at most this many paths, and this many bytes, so that error replies that
// repeat long paths cannot fill the receive buffer while the window still goes out.
constexpr std::size_t queryWindowPaths = 32;
constexpr std::size_t queryWindowBytes = 16 * 1024;
// Windows on their way at once: a window's round trip overlaps the next ones. Enough short
// paths to keep a server busy for a round trip, and never more bytes in flight than four
// full windows, which replies cannot outgrow while the next window goes out.
constexpr std::size_t windowsInFlight = 8;
constexpr std::size_t bytesInFlight = 4 * queryWindowBytes;

// The last name of a path, without the slash a folder may be given with.
std::string_view lastName(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The facts line of an MLST reply ("250-Listing ..." / " facts; path" / "250 End"), and the
// path it names.
std::optional<RemoteFacts> mlstFacts(const FtpReply& reply, std::string* name)
{
    std::size_t start = 0;
    while (start < reply.message.size()) {
        std::size_t end = reply.message.find('\n', start);
        std::string_view line(reply.message.data() + start,
                              (end == std::string::npos ? reply.message.size() : end) - start);
        start = end == std::string::npos ? reply.message.size() : end + 1;
        if (line.find('=') == std::string_view::npos || line.find(';') == std::string_view::npos) continue;
        std::vector<RemoteEntry> entries = parseMlsd(line);
        if (entries.empty()) continue;
        RemoteFacts facts;
        facts.folder = entries.front().folder;
        if (!facts.folder) facts.size = entries.front().size;
        if (facts.size) facts.modified = entries.front().modified;
        if (name) *name = std::move(entries.front().name);
        return facts;
    }
    return std::nullopt;
}
}

std::vector<RemoteFacts> FTPConnection::queryFiles(const std::vector<std::string>& paths)
{
    std::vector<std::string> asked = paths;
    return queryStream(asked, {}, {});
}

std::vector<RemoteFacts> FTPConnection::queryStream(std::vector<std::string>& paths, const MorePaths& more,
                                                    const PathsAnswered& answered)
{
    std::vector<RemoteFacts> facts(paths.size());
    const bool mlst = isKnownSupported("MLST");
    std::size_t next = pipelineQueries_ ? queryPipelined(paths, facts, mlst, more, answered) : 0;
    facts.resize(paths.size());
    // The replies still owed are read and the dialogue checked before the next command
    // goes out (sendCommands), so no path can be given another path's answer.
    for (; next < paths.size(); ++next) {
        facts[next] = queryOne(paths[next], mlst);
        if (answered) answered(next + 1, facts);
    }
    return facts;
}

std::string FTPConnection::queryWindow(const std::vector<std::string>& paths, std::size_t first, std::size_t& end,
                                       bool mlst)
{
    std::string batch;
    for (end = first; end < paths.size() && end - first < queryWindowPaths && batch.size() < queryWindowBytes; ++end) {
        if (mlst) {
            batch += commandLine("MLST", {paths[end]});
        } else {
            batch += commandLine("SIZE", {paths[end]});
            batch += commandLine("MDTM", {paths[end]});
        }
    }
    return batch;
}

std::size_t FTPConnection::queryPipelined(std::vector<std::string>& paths, std::vector<RemoteFacts>& facts, bool mlst,
                                          const MorePaths& more, const PathsAnswered& answered)
{
    struct Window {
        std::size_t first, end, bytes;
    };
    std::deque<Window> sent;  // on their way: paths [first, end)
    std::size_t inFlight = 0;
    std::size_t next = 0;
    // The answers passed on so far. Until the next window's are read, a shift (a reply more
    // than asked for) may not show yet; an MLST answer must name its own path as well.
    std::size_t passedOn = 0;
    bool moreLeft = static_cast<bool>(more);
    // A stream starts with two windows and adds one per window answered: a server that
    // answers one command at a time then serves the other sessions' commands between this
    // one's windows, not after a burst of all of them.
    std::size_t windows = more ? 2 : windowsInFlight;
    auto sendWindow = [&] {
        std::size_t end = next;
        const std::string batch = queryWindow(paths, next, end, mlst);
        // The first window brings the dialogue in step; the later ones go out behind it.
        if (sent.empty())
            sendCommands(batch);
        else
            sendPipelined(batch);
        sent.push_back({next, end, batch.size()});
        inFlight += batch.size();
        next = end;
    };
    const auto roomForWindow = [&] {
        if (sent.size() >= windows || inFlight + queryWindowBytes > bytesInFlight) return false;
        while (moreLeft && paths.size() - next < queryWindowPaths) moreLeft = more(paths);
        facts.resize(paths.size());
        return next < paths.size();
    };
    const auto doubt = [&](std::size_t from) {
        for (std::size_t i = from; i < facts.size(); ++i) facts[i] = {};
        outOfStep_ = true;
        pipelineQueries_ = false;
        return from;
    };
    while (roomForWindow()) sendWindow();
    while (!sent.empty()) {
        const auto [first, end, bytes] = sent.front();
        sent.pop_front();
        inFlight -= bytes;
        for (std::size_t i = first; i < end; ++i)
            // Once an answer is in doubt, so is every one after it: they may all be shifted.
            if (!readQueryAnswer(facts[i], mlst, answered ? &paths[i] : nullptr)) return doubt(i);
        if (answered && first > passedOn) answered(passedOn = first, facts);
        windows = std::min(windows + 1, windowsInFlight);
        while (roomForWindow()) sendWindow();
    }
    // A reply more than the windows asked for has shifted some of their answers, possibly
    // without any showing it; the shifted ones usually arrive with the last.
    if (waitForControl(std::chrono::microseconds(0))) return doubt(passedOn);
    if (answered) answered(paths.size(), facts);
    return paths.size();
}

bool FTPConnection::readQueryAnswer(RemoteFacts& facts, bool mlst, const std::string* named)
{
    facts = {};
    if (mlst) {
        const FtpReply reply = readReply();
        if (outOfStep_ || isSilence(reply) || reply.code.size() != 3) return false;
        if (reply.code[0] == '4' || reply.code[0] == '5') return true;
        if (reply.code != "250") return false;
        std::string name;
        std::optional<RemoteFacts> found = mlstFacts(reply, &name);
        if (!found || (named && lastName(name) != lastName(*named))) return false;
        facts = *found;
        return true;
    }
    const FtpReply size = readReply();
    if (!answersQuery(size, false)) return false;
    const FtpReply time = readReply();
    if (!answersQuery(time, true)) return false;
    facts.size = sizeFrom(size);
    if (facts.size && time.code == "213") facts.modified = parseFtpTime(time.message);
    return true;
}

RemoteFacts FTPConnection::queryOne(const std::string& path, bool mlst)
{
    RemoteFacts facts;
    if (mlst) {
        issueCommand("MLST", {path});
        if (!readQueryAnswer(facts, true)) outOfStep_ = true;
        return facts;
    }
    issueCommand("SIZE", {path});
    const FtpReply size = readReply();
    if (!answersQuery(size, false)) {
        outOfStep_ = true;
        return {};
    }
    facts.size = sizeFrom(size);
    if (!facts.size) return facts;
    issueCommand("MDTM", {path});
    const FtpReply time = readReply();
    if (!answersQuery(time, true)) {
        outOfStep_ = true;
        return {};
    }
    if (time.code == "213") facts.modified = parseFtpTime(time.message);
    return facts;
}

bool FTPConnection::answersQuery(const FtpReply& reply, bool time) const
{
    // A reply cut short leaves its rest to be read as the next one.
    if (outOfStep_ || isSilence(reply) || reply.code.size() != 3) return false;
    if (reply.code[0] == '4' || reply.code[0] == '5') return true;
    // A 213 whose text is not what its command gives is the likeliest sign of a shift,
    // such as a size where a time is due.
    if (reply.code != "213") return false;
    return time ? parseFtpTime(reply.message).has_value() : sizeFrom(reply).has_value();
}
