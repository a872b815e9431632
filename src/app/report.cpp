#include "app/report.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "common/exception.hpp"
#include "common/json.hpp"
#include "run/plan.hpp"
#include "run/sender.hpp"

namespace {
std::ofstream openReport(const std::string& path)
{
    std::u8string name(path.begin(), path.end());
    return std::ofstream(std::filesystem::path(name), std::ios::out | std::ios::trunc | std::ios::binary);
}

std::string isoTime(std::chrono::system_clock::time_point when)
{
    using namespace std::chrono;
    const auto second = floor<seconds>(when);
    const auto day = floor<days>(second);
    const year_month_day date{day};
    const hh_mm_ss time{second - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                  static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                  static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                  static_cast<int>(time.seconds().count()));
    return text;
}

std::uint64_t sizeOf(const PlannedFile& file)
{
    try {
        return file.source.fileSize();
    } catch (const std::exception&) {
        return 0;
    }
}

std::string fileAction(const PlannedFile& file, bool dryRun)
{
    if (file.action == FileAction::unchanged) return "unchanged";
    if (dryRun) return "would-upload";
    return file.outcome == Outcome::done ? "stored" : "failed";
}

void failure(JsonWriter& json, const FtpReply& reply)
{
    // A file no session got to has no reply of its own.
    json.key("code");
    json.value(std::string_view(reply.code.empty() ? "000" : reply.code));
    json.key("message");
    json.value(std::string_view(reply.code.empty() ? "not tried: no session was left for it" : reply.message));
}
}

void createReportFile(const std::string& path)
{
    errno = 0;
    std::ofstream out = openReport(path);
    if (!out)
        throw ConversionException("The --report file " + path + " cannot be created: " +
                                  (errno != 0 ? std::strerror(errno) : "cannot be opened"));
}

std::string reportText(const Sender& sender, std::chrono::system_clock::time_point started,
                       std::chrono::system_clock::time_point ended, int status)
{
    JsonWriter json;
    json.beginObject();
    json.key("version");
    json.value(std::string_view(FTPUPLOAD_VERSION));
    json.key("started");
    json.value(std::string_view(isoTime(started)));
    json.key("ended");
    json.value(std::string_view(isoTime(ended)));
    json.key("status");
    json.value(static_cast<std::int64_t>(status));
    json.key("host");
    json.value(std::string_view(sender.host));
    json.key("remote");
    json.value(std::string_view(sender.remote));
    if (sender.checksum) {
        json.key("hashMilliseconds");
        json.value(static_cast<std::int64_t>(sender.hashingTime().count()));
    }
    json.key("files");
    json.beginArray();
    if (const Plan* plan = sender.lastPlan()) {
        for (const PlannedFile& file : plan->files) {
            const std::string action = fileAction(file, sender.dryRun);
            json.beginObject();
            json.key("path");
            json.value(std::string_view(file.remotePath));
            json.key("action");
            json.value(std::string_view(action));
            json.key("bytes");
            json.value(sizeOf(file));
            json.key("tries");
            json.value(static_cast<std::uint64_t>(file.tries));
            if (action == "failed") failure(json, file.failure);
            json.endObject();
        }
        for (const PlannedDeletion& deletion : plan->deletions) {
            if (!sender.dryRun && deletion.outcome == Outcome::pending) continue;
            const bool failed = deletion.outcome == Outcome::failed;
            json.beginObject();
            json.key("path");
            json.value(std::string_view(deletion.remotePath));
            json.key("action");
            json.value(std::string_view(sender.dryRun ? "would-delete" : failed ? "failed" : "deleted"));
            json.key("bytes");
            json.value(static_cast<std::uint64_t>(0));
            json.key("tries");
            json.value(static_cast<std::uint64_t>(sender.dryRun ? 0 : 1));
            if (failed) failure(json, deletion.failure);
            json.endObject();
        }
    }
    json.endArray();
    json.endObject();
    return json.text() + "\n";
}

bool writeReport(const std::string& path, const std::string& text) noexcept
{
    try {
        std::ofstream out = openReport(path);
        out << text;
        out.flush();
        return static_cast<bool>(out);
    } catch (...) {
        return false;
    }
}
