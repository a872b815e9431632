#include "app/report.hpp"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "app/config.hpp"
#include "common/exception.hpp"
#include "common/json.hpp"
#include "run/plan.hpp"
#include "run/sender.hpp"

namespace {
std::ofstream openReport(const std::string& path, std::ios::openmode mode)
{
    std::u8string name(path.begin(), path.end());
    return std::ofstream(std::filesystem::path(name), mode | std::ios::binary);
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

void codeAndMessage(JsonWriter& json, std::string_view code, std::string_view message)
{
    json.key("code");
    json.value(code);
    json.key("message");
    json.value(message);
}

void failure(JsonWriter& json, const FtpReply& reply)
{
    // A file no session got to has no reply of its own.
    if (reply.code.empty()) return codeAndMessage(json, "000", "not tried: no session was left for it");
    codeAndMessage(json, reply.code, reply.message);
}

void entry(JsonWriter& json, std::string_view path, std::string_view action, std::uint64_t bytes, std::uint64_t tries)
{
    json.key("path");
    json.value(path);
    json.key("action");
    json.value(action);
    json.key("bytes");
    json.value(bytes);
    json.key("tries");
    json.value(tries);
}

void problem(JsonWriter& json, std::string_view what, std::string_view code, std::string_view message)
{
    json.beginObject();
    json.key("what");
    json.value(what);
    codeAndMessage(json, code.empty() ? "000" : code, message);
    json.endObject();
}

// What kept the run from doing all it was asked: why it did not start, what the scan could
// not read, and what failed the run as a whole.
void problems(JsonWriter& json, const Plan* plan, const std::string& refusal)
{
    json.key("problems");
    json.beginArray();
    if (!refusal.empty()) problem(json, "run refused", "000", refusal);
    for (const std::string& error : config().scanErrors) problem(json, "scan", "000", error);
    if (plan)
        for (const RunProblem& run : plan->problems) problem(json, run.what, run.reply.code, run.reply.message);
    json.endArray();
}
}

void checkReportFile(const std::string& path)
{
    errno = 0;
    // Appending creates a missing file and leaves one that is there as it is: it may yet
    // turn out to be a file of the upload.
    std::ofstream out = openReport(path, std::ios::app);
    if (!out)
        throw ConversionException("The --report file " + path + " cannot be created: " +
                                  (errno != 0 ? std::strerror(errno) : "cannot be opened"));
}

std::string reportText(const Sender& sender, std::chrono::system_clock::time_point started,
                       std::chrono::system_clock::time_point ended, int status, const std::string& refusal)
{
    JsonWriter json;
    json.beginObject();
    json.key("version");
    json.value(std::string_view(FTPUPLOAD_VERSION));
    json.key("started");
    json.value(std::string_view(isoTime(started)));
    json.key("ended");
    json.value(std::string_view(isoTime(ended)));
    // The exit status stays a number whatever happened, so that a reader comparing it with 0
    // can never take an interrupted run for a success; the interruption is said beside it.
    json.key("status");
    json.value(static_cast<std::int64_t>(status));
    if (sender.interrupted()) {
        json.key("interrupted");
        json.value(true);
    }
    json.key("host");
    json.value(std::string_view(sender.host));
    json.key("remote");
    json.value(std::string_view(sender.remote));
    if (sender.checksum) {
        json.key("hashMilliseconds");
        json.value(static_cast<std::int64_t>(sender.hashingTime().count()));
    }
    const Plan* plan = sender.lastPlan();
    if (plan && plan->commitMicros) {
        // --staged: how long the site was part old, part new, rounded up.
        json.key("commitMilliseconds");
        json.value((*plan->commitMicros + 999) / 1000);
    }
    problems(json, plan, refusal);
    json.key("files");
    json.beginArray();
    for (const Config::Refused& refused : config().scanRefused) {
        json.beginObject();
        entry(json, refused.path, "left-out", 0, 0);
        codeAndMessage(json, "000", refused.reason);
        json.endObject();
    }
    if (plan) {
        for (const PlannedFile& file : plan->files) {
            const std::string action = fileAction(file, sender.dryRun);
            json.beginObject();
            entry(json, file.remotePath, action, sizeOf(file), file.tries);
            if (action == "failed") failure(json, file.failure);
            if (action == "stored" && !file.verified.empty()) {
                json.key("verified");
                json.value(std::string_view(file.verified));
            }
            if (file.kept) {
                json.key("keptTemporary");
                json.value(true);
            }
            if (action == "stored" && file.resumedAt > 0) {
                json.key("resumedAt");
                json.value(static_cast<std::uint64_t>(file.resumedAt));
            }
            json.endObject();
        }
        for (const PlannedDeletion& deletion : plan->deletions) {
            if (!sender.dryRun && deletion.outcome == Outcome::pending) continue;
            const bool failed = deletion.outcome == Outcome::failed;
            json.beginObject();
            entry(json, deletion.remotePath, sender.dryRun ? "would-delete" : failed ? "delete-failed" : "deleted", 0,
                  sender.dryRun ? 0 : 1);
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
        std::ofstream out = openReport(path, std::ios::trunc);
        out << text;
        out.flush();
        return static_cast<bool>(out);
    } catch (...) {
        return false;
    }
}
