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
