#include "app/entry.hpp"

#include <chrono>
#include <exception>
#include <memory>

#include "app/arguments.hpp"
#include "app/config.hpp"
#include "app/console.hpp"
#include "app/console_platform.hpp"
#include "app/options.hpp"
#include "app/report.hpp"
#include "app/status_line.hpp"
#include "app/usage.hpp"
#include "common/exception.hpp"
#include "common/interrupt.hpp"
#include "app/console_log.hpp"
#include "local/scan.hpp"
#include "run/sender.hpp"

namespace {
constexpr int success = 0;
constexpr int failure = 1;

struct Failure {
    std::string kind;
    std::string message;
};

// Called inside a catch block: describes whatever is being handled.
Failure currentFailure()
{
    try {
        throw;
    } catch (const Exception& e) {
        return {e.kind(), e.message()};
    } catch (const std::exception& e) {
        return {"std::exception", e.what()};
    } catch (...) {
        return {"unknown", "unknown failure"};
    }
}

// The report, where one was asked for, and the status once every line is out: a line that
// could not be written fails the run. A report file that was there before the run is written
// over only when it cannot be a file of the upload (the scan made sure, or it lies elsewhere).
int finalStatus(const Sender& sender, std::chrono::system_clock::time_point started, int status,
                const std::string& refusal = {})
{
    try {
        standardOutput().flush();
    } catch (...) {
    }
    if (standardOutput().failed()) status = failure;
    const Config& settings = config();
    if (settings.reportFile.empty()) return status;
    if (!settings.reportChecked && settings.reportExistedBefore && !outsideTree(settings.reportFile, sender.local))
        return status;
    if (writeReport(settings.reportFile, reportText(sender, started, std::chrono::system_clock::now(), status, refusal)))
        return status;
    writeLine("error:\t{}\tcode: {}\tmessage: {}", "report " + settings.reportFile, "000", "cannot be written");
    return failure;
}

// --progress, where standard error is a terminal: never a status line in a pipe or a file.
// When the lines go to a terminal as well, each is written with the status line cleared.
std::unique_ptr<StatusLine> statusLineFor(ConsoleLog& log, Sender& sender)
{
    if (!config().progress) return nullptr;
    const platform::StatusTerminal terminal = platform::statusTerminal();
    if (!terminal.present) return nullptr;
    auto status = std::make_unique<StatusLine>(standardError(), terminal.columns);
    sender.progressObserver = status.get();
    if (platform::standardOutputSink().interactive()) log.status = status.get();
    return status;
}

bool sendWithStatus(ConsoleLog& log, Sender& sender)
{
    std::unique_ptr<StatusLine> status = statusLineFor(log, sender);
    struct Detach {
        ConsoleLog& log;
        Sender& sender;
        StatusLine* status;
        ~Detach()
        {
            log.status = nullptr;
            sender.progressObserver = nullptr;
            if (status) status->finish();
        }
    } detach{log, sender, status.get()};
    return sender.send();
}

int runSteps(const std::vector<std::string>& words)
{
    if (words.size() < 2) {
        printUsage();
        return success;
    }

    Arguments arguments;
    declareOptions(arguments);
    try {
        arguments.parse(std::vector<std::string>(words.begin() + 1, words.end()));
    } catch (...) {
        const std::string reason = currentFailure().message;
        takeBoxesOption(std::vector<std::string>(words.begin() + 1, words.end()));
        showErrorBox(reason, "argument parse Error");
        printUsage();
        return failure;
    }
    if (arguments.isPresent("help")) {
        printUsage();
        return success;
    }
    if (arguments.isPresent("version")) {
        writeLine("ftpupload {}", FTPUPLOAD_VERSION);
        return success;
    }

    ConsoleLog log;
    Sender sender(log);
    bool scanReportedErrors = false;
    bool goOn = false;
    const auto started = std::chrono::system_clock::now();
    try {
        goOn = readOptions(arguments, sender, scanReportedErrors);
    } catch (...) {
        const std::string reason = currentFailure().message;
        showErrorBox(reason, "initSender Error");
        return finalStatus(sender, started, failure, reason);
    }
    if (!goOn) {
        if (!scanReportedErrors) return finalStatus(sender, started, success);
        return finalStatus(sender, started, failure, "no files need upload");
    }
    // The described run keeps the system's handling: an interrupt ends it where it stands.
    if (!sender.describedRun()) interrupt::catchInterrupts();
    const bool sent = sendWithStatus(log, sender);
    return finalStatus(sender, started, reportOutcome(sender, sent, scanReportedErrors));
}

// Straight to the output handle: the buffered stream may be what failed.
void reportLastResort() noexcept
{
    try {
        Failure f = currentFailure();
        try {
            standardOutput().flush();
        } catch (...) {
        }
        std::string error;
        platform::standardOutputSink().write(f.kind + ": " + f.message + "\r\n", error);
    } catch (...) {
    }
}

void flushBoth() noexcept
{
    for (ConsoleStream* stream : {&standardOutput(), &standardError()}) {
        try {
            stream->flush();
        } catch (...) {
            // Shut-down goes on: the other stream may still work.
        }
    }
}
}

int reportOutcome(const Sender& sender, bool sent, bool scanReportedErrors)
{
    const std::size_t unchanged = sender.unchangedCount();
    const std::size_t done = sender.dryRun ? sender.files.size() - unchanged : sender.storedCount();
    // Outside the described run the summary also counts the failures, after what was moved.
    const bool described = sender.describedRun();
    // An interrupted run failed, yet says what it got done before.
    const bool interrupted = sender.interrupted();
    try {
        if ((sent || interrupted) && !described && !sender.dryRun)
            writeLine("{}", lines::sent(sender.filesSent(), sender.bytesStored(), sender.sendTime().count(),
                                        sender.sessionsUsed()));
        const std::string counts =
            lines::summary(sender.dryRun, done, unchanged, sender.deletedCount(), described ? 0 : sender.failedCount());
        writeLine("{}", interrupted ? lines::uploadFailed(sender.local) + "; " + counts
                        : sent      ? counts
                                    : lines::uploadFailed(sender.local));
    } catch (const IOException&) {
        // The stream remembers it, and the status says so; the report is still written.
    }
    // A scheduled run must see a partial upload, an unread folder or a deletion that was
    // asked for and not made as a failure.
    bool complete = sent && !interrupted && (sender.dryRun || sender.storedCount() + unchanged >= sender.files.size()) &&
                    sender.deployComplete();
    return complete && !scanReportedErrors ? success : failure;
}

int runProgram(const std::vector<std::string>& words)
{
    try {
        try {
            return runSteps(words);
        } catch (...) {
            showErrorBox(currentFailure().message, "main Error");
            return failure;
        }
    } catch (...) {
        reportLastResort();
        return failure;
    }
}

int runProcess(const std::vector<std::string>& words)
{
    platform::startUpConsole();
    int status = failure;
    try {
        startUpConfig();
        status = runProgram(words);
    } catch (...) {
        reportLastResort();
    }
    try {
        shutDownConfig();
    } catch (...) {
    }
    flushBoth();
    interrupt::runEnded();
    return status;
}
