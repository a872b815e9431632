#include "run/lock.hpp"

#include <map>

#include "common/own_names.hpp"
#include "ftp/ftp.hpp"
#include "local/byte_source.hpp"
#include "local/this_process.hpp"
#include "run/context.hpp"
#include "run/plan.hpp"
#include "run/session.hpp"

namespace {
// An owner line is one short line; anything much longer is not one.
constexpr std::size_t maxOwnerBytes = 4096;

const std::string& folderName()
{
    static const std::string name(lockName);
    return name;
}

const std::string& ownerPath()
{
    static const std::string path = std::string(lockName) + "/owner";
    return path;
}

// "2026-12-09T20:10:00Z" from seconds since 1970 UTC, and back.
std::string isoTime(std::int64_t seconds)
{
    const std::string t = formatFtpTime(seconds);
    return t.substr(0, 4) + "-" + t.substr(4, 2) + "-" + t.substr(6, 2) + "T" + t.substr(8, 2) + ":" +
           t.substr(10, 2) + ":" + t.substr(12, 2) + "Z";
}

std::optional<std::int64_t> fromIsoTime(const std::string& text)
{
    if (text.size() != 20 || text.back() != 'Z') return std::nullopt;
    std::string digits;
    for (char c : text.substr(0, 19))
        if (c >= '0' && c <= '9') digits += c;
    return parseFtpTime(digits);
}

bool sameHost(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

std::int64_t nowSeconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}
}

// What a lock's owner file says: "host=NAME pid=N ids=posix started=2026-12-09T20:10:00Z".
struct RemoteLock::Owner {
    bool read = false;
    std::string line;
    std::map<std::string, std::string> fields;

    std::optional<std::uint64_t> pid() const
    {
        auto found = fields.find("pid");
        if (found == fields.end() || found->second.empty() || found->second.size() > 19) return std::nullopt;
        for (char c : found->second)
            if (c < '0' || c > '9') return std::nullopt;
        return std::stoull(found->second);
    }
    std::optional<std::int64_t> started() const
    {
        auto found = fields.find("started");
        return found == fields.end() ? std::nullopt : fromIsoTime(found->second);
    }
    std::string field(const std::string& name) const
    {
        auto found = fields.find(name);
        return found == fields.end() ? std::string() : found->second;
    }
    // Read, and naming at least where and when the run was.
    bool complete() const { return read && !field("host").empty() && started(); }
};

RemoteLock::RemoteLock(const RunContext& context, Plan& plan)
    : context_(context), plan_(plan), started_(nowSeconds())
{
    ownerLine_ = "host=" + thisHostName() + " pid=" + std::to_string(thisProcessId()) + " ids=" + processIdKind() +
                 " started=" + isoTime(started_);
}

bool RemoteLock::wanted() const
{
    const RunSettings& settings = context_.settings;
    return !settings.dryRun && (settings.skipUnchanged || settings.deleteGone || settings.atomic || settings.checksum);
}

bool RemoteLock::refuse(Session& session, const std::string& message, const FtpReply& reply)
{
    plan_.problems.push_back({message, reply});
    context_.error(session, message, stepPause);
    return false;
}

bool RemoteLock::take(Session& session, const std::function<void()>& madeHere, bool probe)
{
    if (!wanted()) return true;
    FTP& client = *session.client;
    client.issueCommand("MKD", {folderName()});
    FtpReply made = client.readReply();
    made.message = cutForLine(std::move(made.message));
    if (FTP::isSilence(made)) throw FTPException("421", "connection closed by the server");
    if (made.code == "257") {
        if (madeHere) madeHere();
        return claim(client, false, probe) || refuse(session, lines::lockNotTaken(ownerPath()), made);
    }

    // Usually it exists: another run holds it, or one that ended without removing it.
    Owner owner;
    try {
        const std::string text = client.retrieveText(ownerPath(), maxOwnerBytes);
        owner.read = true;
        owner.line = text.substr(0, text.find_first_of("\r\n"));
        std::size_t at = 0;
        while (at < owner.line.size()) {
            std::size_t end = owner.line.find(' ', at);
            if (end == std::string::npos) end = owner.line.size();
            const std::string word = owner.line.substr(at, end - at);
            const std::size_t equals = word.find('=');
            if (equals != std::string::npos) owner.fields[word.substr(0, equals)] = word.substr(equals + 1);
            at = end + 1;
        }
    } catch (const std::exception&) {
        if (!session.usable()) throw;
    }
    const std::string who = owner.complete() ? cutForLine(owner.line) : std::string();
    const std::optional<std::string> stale = staleness(client, owner);
    if (!session.usable()) throw FTPException("421", "connection closed by the server");
    // An owner that cannot be read may also be a server that refuses the name itself: MKD's
    // answer tells which.
    if (!stale) return refuse(session, lines::lockHeld(folderName(), who, made), made);
    context_.info(session, lines::lockTakenOver(folderName(), who, *stale), 0);
    return claim(client, true, probe) || refuse(session, lines::lockNotTaken(ownerPath()), made);
}

bool RemoteLock::claim(FTP& client, bool takenOver, bool probe)
{
    const std::string text = ownerLine_ + "\n";
    try {
        if (context_.settings.pacing) {
            TextSource source(text);
            client.storeStream(ownerPath(), &source, [](std::uint64_t) {}, FtpFormat::image);
        } else {
            // Unpaced, reading has started: every round trip here keeps the stores waiting.
            client.putTextLean(ownerPath(), text);
        }
    } catch (const std::exception&) {
        // A folder made without its owner would block every later run until it is old: it goes
        // again (a taken-over one stays as it was found).
        if (!takenOver) {
            try {
                client.removeDirectory(folderName());
            } catch (const std::exception&) {
            }
        }
        return false;
    }
    held_ = true;
    if (probe && context_.settings.skipUnchanged) probeTimes(client);
    return true;
}

std::optional<std::string> RemoteLock::staleness(FTP& client, const Owner& owner) const
{
    const std::int64_t limit = std::chrono::duration_cast<std::chrono::seconds>(staleAfter).count();
    if (owner.complete()) {
        const std::optional<std::uint64_t> pid = owner.pid();
        if (pid && sameHost(owner.field("host"), thisHostName()) && owner.field("ids") == processIdKind() &&
            !processRuns(*pid))
            return "its process no longer runs";
        if (started_ - *owner.started() > limit) return "older than 24 hours";
        return std::nullopt;
    }
    // An owner that cannot be read says nothing of its run: only the server's times can tell
    // that it has been there for longer than any run takes.
    const std::optional<std::int64_t> made = remoteTimeOfLock(client);
    if (made && started_ - *made > limit) return "older than 24 hours by the server's times";
    return std::nullopt;
}

std::optional<std::int64_t> RemoteLock::remoteTimeOfLock(FTP& client) const
{
    try {
        const std::vector<RemoteFacts> facts = client.queryFiles({ownerPath()});
        if (!facts.empty() && facts[0].modified) return facts[0].modified;
        // No owner file (a run ended between making the folder and writing it): the folder's own time.
        const std::vector<RemoteEntry> entries = client.listsFolders() ? client.listFolder("") : client.listFolderUnix("");
        for (const RemoteEntry& entry : entries)
            if (entry.name == folderName() && entry.folder) return entry.modified;
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

void RemoteLock::probeTimes(FTP& client)
{
    // Not a whole number of quarter hours before the start: a server that ignores the time,
    // or gives it in its own zone, cannot give it back by chance.
    const std::int64_t set = started_ - started_ % 2 - 7 * 60 - 22;
    const std::string wanted = formatFtpTime(set);
    std::optional<std::int64_t> got;
    try {
        FtpReply reply;
        if (!client.setRemoteModified(ownerPath(), set, &reply)) {
            timesDistrusted_ = "the server does not set a file's time";
            return;
        }
        // MFMT's answer may name the time the file now has.
        const std::size_t at = reply.message.find("Modify=");
        if (at != std::string::npos) got = parseFtpTime(reply.message.substr(at + 7, 14));
        if (!got) {
            const std::vector<RemoteFacts> facts = client.queryFiles({ownerPath()});
            if (!facts.empty()) got = facts[0].modified;
        }
    } catch (const std::exception&) {
    }
    if (!got)
        timesDistrusted_ = "the server did not give back the time set on " + ownerPath();
    else if (*got != set)
        timesDistrusted_ = "the server gave back " + formatFtpTime(*got) + " for " + wanted + " set on " + ownerPath();
}

void RemoteLock::release(Session& session) noexcept
{
    if (!held_) return;
    try {
        // A lost session leaves the lock to the stale rule.
        if (!session.usable() || (session.client->outOfStep() && !session.client->resynchronise())) return;
        held_ = false;
        if (!context_.settings.pacing) return releaseAtOnce(*session.client, session);
        try {
            session.client->deleteFile(ownerPath());
        } catch (const std::exception&) {
            // Gone already, or not deletable: the folder's removal tells.
        }
        try {
            session.client->removeDirectory(folderName());
        } catch (const std::exception& failure) {
            refuse(session, lines::lockNotRemoved(folderName()), replyOf(failure));
        }
    } catch (...) {
        // Leaving the lock costs the next run a stale check, never this run its end.
    }
}

void RemoteLock::releaseAtOnce(FTP& client, Session& session)
{
    // Both questions in one round trip: a DELE that failed leaves the folder not empty, and
    // the RMD's refusal says so.
    const std::vector<FtpReply> replies =
        client.askAll({FTP::commandLine("DELE", {ownerPath()}), FTP::commandLine("RMD", {folderName()})});
    FtpReply removed = replies.back();
    if (removed.code.empty() || removed.code[0] != '2') {
        removed.message = cutForLine(std::move(removed.message));
        refuse(session, lines::lockNotRemoved(folderName()), removed);
    }
}
