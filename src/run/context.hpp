#pragma once
// What every part of a run is handed: the settings, the lines, the pace, and where its
// FTP clients come from.
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "run/log.hpp"
#include "run/pace.hpp"
#include "run/settings.hpp"

class FTP;
class ProgressObserver;
struct Session;

// The pauses of the described run, as a paced run takes them.
constexpr std::int32_t stepPause = 2000;
constexpr std::int32_t progressPause = 10;
constexpr std::int32_t filePause = 100;

using ClientFactory = std::function<std::unique_ptr<FTP>()>;

struct RunContext {
    const RunSettings& settings;
    RunLines& lines;
    const Pace& pace;
    ClientFactory createClient;
    // Told of every store as it goes (--progress); none without.
    ProgressObserver* progress = nullptr;

    // A line carrying the session's last quiet-check reply, then its pause as the pace
    // takes it. info gives true and error false, so that a step can end with either.
    bool info(const Session& session, const std::string& message, std::int32_t pause) const;
    bool error(const Session& session, const std::string& message, std::int32_t pause) const;
    // The same with the reply that failed the step; the described run keeps the last
    // quiet-check reply there.
    bool error(const Session& session, const std::string& message, std::int32_t pause, const FtpReply& reason) const;
};

// A failure's own words for a line, cut to a length a line can carry.
std::string failureMessage(const std::exception& failure);
// The reply a failure stands for: the server's, or the client's own finding under "000".
FtpReply replyOf(const std::exception& failure);
// Server text carried into a line: at most 4 KiB, cut at a character boundary.
std::string cutForLine(std::string text);
