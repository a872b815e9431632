#include "run/log.hpp"

#include <algorithm>
#include <cstdio>
#include <iterator>

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

std::string foundComplete(const std::string& path) { return path + " found complete on the server"; }

std::string summary(bool dryRun, std::size_t done, std::size_t unchanged, std::size_t deleted, std::size_t failed)
{
    std::string more = failed > 0 ? ", " + std::to_string(failed) + " failed" : std::string();
    if (unchanged > 0) more += ", " + std::to_string(unchanged) + " unchanged";
    if (deleted > 0) more += ", " + std::to_string(deleted) + (dryRun ? " would be deleted" : " deleted");
    return formatText(dryRun ? "would upload: {} files{}" : "uploaded: {} files{}", {done, more});
}

std::string grouped(std::uint64_t value)
{
    const std::string digits = std::to_string(value);
    std::string text;
    for (std::size_t at = 0; at < digits.size(); ++at) {
        if (at > 0 && (digits.size() - at) % 3 == 0) text += ',';
        text += digits[at];
    }
    return text;
}

std::string bytesText(double bytes, int decimals)
{
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024) return grouped(static_cast<std::uint64_t>(bytes)) + " B";
    std::size_t unit = 0;
    for (bytes /= 1024; bytes >= 1024 && unit + 1 < std::size(units); bytes /= 1024) ++unit;
    char text[32];
    std::snprintf(text, sizeof text, "%.*f %s", decimals, bytes, units[unit]);
    return text;
}

std::string sent(std::size_t files, std::uint64_t bytes, std::int64_t milliseconds, std::size_t sessions)
{
    const double seconds = static_cast<double>(std::max<std::int64_t>(milliseconds, 1)) / 1000;
    const double rate = static_cast<double>(bytes) / seconds;
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", static_cast<double>(milliseconds) / 1000);
    return "sent " + grouped(files) + (files == 1 ? " file, " : " files, ") + bytesText(static_cast<double>(bytes), 1) +
           " in " + time + " (" + bytesText(rate, rate >= 10 * 1024 * 1024 ? 0 : 1) + "/s) over " +
           grouped(sessions) + (sessions == 1 ? " session" : " sessions");
}

std::string uploadFailed(const std::string& local) { return "upload failed: " + local; }
}
