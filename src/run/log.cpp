#include "run/log.hpp"

void RunLines::write(std::string_view format, const std::vector<FormatValue>& values) noexcept
{
    try {
        std::lock_guard<std::mutex> lock(mutex_);
        log_.line(format, values);
    } catch (...) {
        // Output that is closed or full must not end a session's thread, or the process:
        // the run goes on, and the log remembers the failure for the run's status.
    }
}

void RunLines::info(const FtpReply& lastReply, const std::string& message)
{
    write("{}\tcode: {}\tmessage: {}", {message, lastReply.code, lastReply.message});
}

void RunLines::error(const FtpReply& lastReply, const std::string& message)
{
    write("error:\t{}\tcode: {}\tmessage: {}", {message, lastReply.code, lastReply.message});
}

void RunLines::sendCatch(const std::string& reason, const FtpReply& lastReply, const std::string& remote)
{
    write("send catch {}, code {}, message {}, remotePath {}", {reason, lastReply.code, lastReply.message, remote});
}

namespace lines {
std::string filesToBackup(std::size_t count) { return formatText("{} files to backup", {count}); }
std::string connecting(const std::string& host) { return "connecting..." + host; }
std::string connected(const std::string& host) { return "connected to " + host; }
std::string connectTo(const std::string& host) { return "connect to " + host; }

std::string connectFailure(const std::string& host, const std::string& reason, const std::string& user,
                           const std::string& password)
{
    const std::string masked = password.empty() ? std::string() : std::string("****");
    return "connect to " + host + " " + reason + " " + user + " " + masked;
}

std::string cd(const std::string& remote) { return "cd " + remote; }
std::string createdRemote(const std::string& remote) { return "created remote folder " + remote; }

std::string uploading(const std::string& name, std::uint64_t sent, std::uint64_t size)
{
    return formatText("uploading {} {}/{}", {name, sent, size});
}

std::string upload(const std::string& path) { return "upload " + path; }
std::string unchanged(const std::string& path) { return "unchanged " + path; }
std::string wouldUpload(const std::string& path) { return "would upload " + path; }
std::string deleted(const std::string& path) { return "deleted " + path; }
std::string wouldDelete(const std::string& path) { return "would delete " + path; }
std::string deletePath(const std::string& path) { return "delete " + path; }
std::string deleteSkipped() { return "delete skipped"; }
std::string deleteSkippedIn(const std::string& folder) { return "delete skipped in " + (folder.empty() ? "." : folder); }
std::string caseClash(const std::string& path) { return "case clash " + path; }

std::string manifestKept() { return "nothing changed: .ftpupload-manifest could not be deleted"; }

std::string deleteSkipped(std::size_t going, std::size_t listed, const std::string& limit)
{
    return formatText("delete skipped: {} of {} remote files would go, above --max-delete={}", {going, listed, limit});
}

std::string lockHeld(const std::string& lock, const std::string& owner, const FtpReply& made)
{
    const std::string who =
        owner.empty() ? "a run whose owner cannot be read (MKD: " + made.code + " " + made.message + ")" : owner;
    return "remote folder locked by " + who + "; if no other run is deploying there, delete the folder " + lock;
}

std::string lockTakenOver(const std::string& lock, const std::string& owner, const std::string& why)
{
    return "lock " + lock + " taken over from " + (owner.empty() ? std::string("an unknown run") : owner) + ": " +
           why;
}

std::string lockNotTaken(const std::string& owner) { return "lock not taken: " + owner + " cannot be stored"; }
std::string lockNotRemoved(const std::string& lock) { return "lock " + lock + " not removed"; }

std::string timesNotTrusted(const std::string& why, std::size_t sent)
{
    return formatText("times not trusted ({}): {} files judged unchanged by size and time are sent", {why, sent});
}

std::string retry(const std::string& what, std::uint32_t tried, std::uint32_t retries)
{
    return formatText("retry {} ({} of {})", {what, tried + 1, retries});
}

std::string summary(bool dryRun, std::size_t done, std::size_t unchanged, std::size_t deleted)
{
    std::string more = unchanged > 0 ? ", " + std::to_string(unchanged) + " unchanged" : std::string();
    if (deleted > 0) more += ", " + std::to_string(deleted) + (dryRun ? " would be deleted" : " deleted");
    return formatText(dryRun ? "would upload: {} files{}" : "uploaded: {} files{}", {done, more});
}

std::string uploadFailed(const std::string& local) { return "upload failed: " + local; }
}
