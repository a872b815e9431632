#include "app/options.hpp"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <optional>
#include <vector>

#include "app/arguments.hpp"
#include "app/config.hpp"
#include "app/console.hpp"
#include "app/conversion.hpp"
#include "app/report.hpp"
#include "common/environment.hpp"
#include "common/rate_limit.hpp"
#include "common/exception.hpp"
#include "local/file_system.hpp"
#include "local/local_file.hpp"
#include "ftp/trace.hpp"
#include "net/tls_channel.hpp"
#include "local/patterns.hpp"
#include "local/scan.hpp"
#include "run/sender.hpp"

namespace {
// A "[" without its "]" would never match: as an exclude it would let through files the
// operator meant to keep back, so it is refused instead.
std::vector<std::string> patternList(const Arguments& arguments, const std::string& option)
{
    std::vector<std::string> patterns = splitPatterns(arguments.firstValue(option));
    for (const std::string& pattern : patterns)
        if (!patternWellFormed(pattern))
            throw ConversionException("The --" + option + " pattern `" + pattern +
                                      "` has a \"[\" without its closing \"]\".");
    return patterns;
}

// The first line of the file, without its line end, or the whole file when it has one line.
std::string firstLineOf(const std::string& option, const std::string& path)
{
    std::string text;
    try {
        LocalFile file(path);
        char chunk[4096];
        while (text.find('\n') == std::string::npos && text.size() < 64 * 1024) {
            std::size_t got = file.read(chunk, sizeof chunk);
            if (got == 0) break;
            text.append(chunk, got);
        }
    } catch (const Exception& failure) {
        throw ConversionException("The --" + option + " file cannot be read: " + failure.message());
    }
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r') text.pop_back();
    return text;
}

// Windows editors put a byte-order mark first, or save the whole file as UTF-16 ("Unicode").
// The mark is no part of the password; UTF-16 text could only go out as the wrong bytes.
std::string passwordFrom(const std::string& path)
{
    std::string line = firstLineOf("password-file", path);
    const bool utf16Mark = line.rfind("\xFF\xFE", 0) == 0 || line.rfind("\xFE\xFF", 0) == 0;
    if (utf16Mark || line.find('\0') != std::string::npos)
        throw ConversionException("password file is UTF-16; save it as UTF-8");
    if (line.rfind("\xEF\xBB\xBF", 0) == 0) line.erase(0, 3);
    return line;
}

constexpr std::uint32_t implicitTlsPort = 990;

void readTlsOptions(const Arguments& arguments, Sender& sender)
{
    if (arguments.isPresent("tls")) {
        const std::string value = arguments.firstValue("tls");
        std::string lowered = value;
        for (char& c : lowered)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        sender.tls.implicit = lowered == "implicit";
        sender.tls.enabled = sender.tls.implicit || parseTruth(value);
        if (sender.tls.implicit && !arguments.isPresent("port")) sender.port = implicitTlsPort;
    }
    const bool caFile = arguments.isPresent("tls-ca-file");
    const bool fingerprint = arguments.isPresent("tls-fingerprint");
    if ((caFile || fingerprint) && !sender.tls.enabled)
        throw ConversionException(std::string(caFile ? "--tls-ca-file" : "--tls-fingerprint") +
                                  " applies only to TLS sessions: add --tls=true (or --tls=implicit).");
    if (caFile) {
        sender.tls.caFile = arguments.firstValue("tls-ca-file");
        firstLineOf("tls-ca-file", sender.tls.caFile);
    }
    if (fingerprint) {
        const std::string text = arguments.firstValue("tls-fingerprint");
        std::optional<std::string> normal = normaliseFingerprint(text);
        if (!normal)
            throw ConversionException("The --tls-fingerprint `" + text +
                                      "` is not a SHA-256 fingerprint: 64 hex digits, with or without \":\".");
        sender.tls.fingerprint = *normal;
    }
}
}

std::string normaliseLocal(std::string local)
{
    for (char& c : local)
        if (c == '/') c = '\\';
    if (!local.empty() && local.back() != '\\') local += '\\';
    return local;
}

std::string normaliseRemote(std::string remote)
{
    if (remote.size() > 1 && remote.back() == '/') remote.pop_back();
    return remote;
}

namespace {
std::uint32_t numberFrom(const Arguments& arguments, const std::string& name, std::uint32_t low, std::uint32_t high)
{
    const std::uint32_t number = parseUnsigned(arguments.firstValue(name));
    if (number < low || number > high)
        throw ConversionException("--" + name + " must be from " + std::to_string(low) + " to " + std::to_string(high) +
                                  ", not " + std::to_string(number) + ".");
    return number;
}

// "N" (a count, read like --port) or "P%" (0 to 100).
DeleteLimit deleteLimitFrom(const Arguments& arguments, const std::string& name)
{
    std::string text = arguments.firstValue(name);
    DeleteLimit limit;
    limit.percent = !text.empty() && text.back() == '%';
    if (limit.percent) text.pop_back();
    limit.value = parseUnsigned(text);
    if (limit.percent && limit.value > 100)
        throw ConversionException("--" + name + " must be a count or a percentage up to 100%, not " +
                                  std::to_string(limit.value) + "%.");
    return limit;
}

// Bytes per second, with curl's suffixes K, M and G of 1024; the number is read like --port.
std::uint64_t rateFrom(const Arguments& arguments, const std::string& name)
{
    std::string text = arguments.firstValue(name);
    std::uint64_t unit = 1;
    const char suffix = text.empty() ? '\0' : static_cast<char>(std::toupper(static_cast<unsigned char>(text.back())));
    if (suffix == 'K' || suffix == 'M' || suffix == 'G') {
        unit = suffix == 'K' ? 1024 : suffix == 'M' ? 1024 * 1024 : 1024 * 1024 * 1024;
        text.pop_back();
    }
    const std::uint64_t rate = parseUnsigned(text) * unit;
    if (rate == 0)
        throw ConversionException("--" + name + " must be at least 1 byte per second (e.g. 500K or 2M), not 0.");
    return rate;
}

// Asked before the file is opened: one that was there may be a file of the tree.
OwnOutputFile ownOutput(const std::string& path) { return {path, fileSystem().identity(path).has_value()}; }

bool truthOf(const Arguments& arguments, const std::string& name) { return parseTruth(arguments.firstValue(name)); }

// The switches beyond the described options read bare as on (--dry-run), the way such switches
// are usually written; --passive and --recurse keep their described conversion error.
bool switchOf(const Arguments& arguments, const std::string& name)
{
    return arguments.values(name).empty() || truthOf(arguments, name);
}

// As CI systems hand secrets over: the password is never on the command line.
std::string passwordFromEnvironment(const std::string& variable)
{
    if (variable.empty())
        throw ConversionException("--password-env needs the name of an environment variable: --password-env=NAME.");
    std::optional<std::string> value = sys::environmentVariable(variable);
    if (!value) throw ConversionException("The environment variable " + variable + " of --password-env is not set.");
    return *value;
}

// Every option the program reads, once, in the order it is read: where its value goes. The
// described ones without a default of their own are read whether given or not.
struct Option {
    const char* name;
    bool readWhenAbsent;
    void (*read)(const Arguments& arguments, const std::string& name, Sender& sender, Config& settings);
};

const Option options[] = {
    // First, so that a refusal of any later option is in the report too.
    {"report", false,
     [](const Arguments& a, const std::string& n, Sender&, Config& c) {
         const OwnOutputFile own = ownOutput(a.firstValue(n));
         checkReportFile(own.path);
         c.reportFile = own.path;
         c.reportExistedBefore = own.existedBefore;
         c.ownOutputFiles.push_back(own);
     }},
    {"boxes", false, [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.boxes = truthOf(a, n); }},
    {"host", true, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.host = a.firstValue(n); }},
    {"remote", true,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.remote = normaliseRemote(a.firstValue(n)); }},
    {"username", true, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.username = a.firstValue(n); }},
    {"password", true, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.password = a.firstValue(n); }},
    {"port", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.port = narrowPort(parseUnsigned(a.firstValue(n))); }},
    {"passive", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.passive = truthOf(a, n); }},
    {"timeout", false,
     [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.timeoutSeconds = parseUnsigned(a.firstValue(n)); }},
    {"recurse", false, [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.recurse = truthOf(a, n); }},
    {"include", false,
     [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.includePatterns = patternList(a, n); }},
    {"exclude", false,
     [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.excludePatterns = patternList(a, n); }},
    {"pacing", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.pacing = switchOf(a, n); }},
    {"connections", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) {
         s.connections = numberFrom(a, n, 1, RunSettings::maxConnections);
     }},
    // The TLS options are checked together: a CA file or fingerprint without TLS is refused.
    {"tls", true, [](const Arguments& a, const std::string&, Sender& s, Config&) { readTlsOptions(a, s); }},
    {"tls-ca-file", false, nullptr},
    {"tls-fingerprint", false, nullptr},
    {"password-file", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.password = passwordFrom(a.firstValue(n)); }},
    {"password-env", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) {
         s.password = passwordFromEnvironment(a.firstValue(n));
     }},
    {"skip-unchanged", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.skipUnchanged = switchOf(a, n); }},
    {"retries", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) {
         s.retries = numberFrom(a, n, 0, RunSettings::maxRetries);
     }},
    {"trace", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config& c) {
         c.ownOutputFiles.push_back(ownOutput(a.firstValue(n)));
         s.trace = std::make_shared<Trace>(a.firstValue(n));
     }},
    {"dry-run", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.dryRun = switchOf(a, n); }},
    {"hidden", false, [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.hidden = switchOf(a, n); }},
    {"delete", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.deleteGone = switchOf(a, n); }},
    {"max-delete", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.maxDelete = deleteLimitFrom(a, n); }},
    {"progress", false, [](const Arguments& a, const std::string& n, Sender&, Config& c) { c.progress = switchOf(a, n); }},
    {"atomic", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.atomic = switchOf(a, n); }},
    {"last", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.lastPatterns = patternList(a, n); }},
    {"staged", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) {
         s.staged = switchOf(a, n);
         if (!s.staged) return;
         s.atomic = true;
         // The pages that link the rest, unless the deploy names its own.
         if (!a.isPresent("last")) s.lastPatterns = {"*.html", "*.htm"};
     }},
    {"active", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.active = switchOf(a, n); }},
    {"limit-rate", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) {
         s.rateLimit = std::make_shared<RateLimit>(rateFrom(a, n));
     }},
    {"checksum", false,
     [](const Arguments& a, const std::string& n, Sender& s, Config&) {
         s.checksum = switchOf(a, n);
         if (s.checksum && !s.skipUnchanged)
             throw ConversionException("--checksum applies only to the skip decision: add --skip-unchanged=true.");
     }},
    {"verify", false, [](const Arguments& a, const std::string& n, Sender& s, Config&) { s.verify = switchOf(a, n); }},
};
}

namespace {
// Those of the described program; the rest make a run that may say more than it did.
bool givesAddedOption(const Arguments& arguments)
{
    static const char* const described[] = {"host",    "remote",  "username", "password", "port",
                                            "passive", "timeout", "recurse",  "include",  "exclude"};
    for (const Option& option : options) {
        const std::string name = option.name;
        if (name == "pacing" || !arguments.isPresent(name)) continue;
        if (std::find(std::begin(described), std::end(described), name) == std::end(described)) return true;
    }
    return false;
}

void takeBoxes(const Arguments& arguments)
{
    Config& settings = config();
    settings.boxes = true;
    try {
        if (arguments.isPresent("boxes")) settings.boxes = truthOf(arguments, "boxes");
    } catch (const ConversionException&) {
    }
}
}

void takeBoxesOption(const std::vector<std::string>& words)
{
    Arguments lenient;
    declareOptions(lenient);
    lenient.refuseNearMisses = false;
    try {
        lenient.parse(words);
    } catch (const Exception&) {
        return;
    }
    takeBoxes(lenient);
}

void declareOptions(Arguments& arguments)
{
    arguments.define("help")->maxValues = 0;
    arguments.addAlias("help", "?");
    arguments.define("version")->maxValues = 0;
    // The parser is told of every option, so that it can refuse a slip of one (--tsl for
    // --tls) instead of ignoring it as an option of another version.
    arguments.define("local");
    for (const Option& option : options) arguments.define(option.name);
    arguments.refuseNearMisses = true;
}

bool readOptions(Arguments& arguments, Sender& sender, bool& scanReportedErrors)
{
    scanReportedErrors = false;
    Config& settings = config();
    settings.scanErrors.clear();
    settings.scanRefused.clear();
    settings.reportFile.clear();
    settings.reportChecked = false;
    settings.progress = false;
    // Taken before anything can be refused, so that the box of that refusal honours it too;
    // a bad value is refused where the list reads it.
    takeBoxes(arguments);

    const std::string local = arguments.firstValue("local");
    if (local.empty())
        throw ConversionException("No local folder given: name the folder to upload with --local=FOLDER.");
    sender.local = normaliseLocal(local);
    writeValue(visibleText(sender.local));
    standardOutput().endLine();

    for (const Option& option : options)
        if (option.read && (option.readWhenAbsent || arguments.isPresent(option.name)))
            option.read(arguments, option.name, sender, settings);
    sender.addedOptions = givesAddedOption(arguments);
    sender.timeoutSeconds = settings.timeoutSeconds;
    sender.selection = settings;

    ScanResult scan = scanLocal(sender.local, settings);
    if (!scan.ownFilesSelected.empty()) {
        // Whichever of the two it was, a report that was there is not written: a link the
        // platform does not show as one (a POSIX link seen from Wine) can hide where it leads.
        if (settings.reportExistedBefore) settings.reportFile.clear();
        throw ConversionException("The --report or --trace file " + scan.ownFilesSelected.front() +
                                  " is a file of the upload; name a file outside the local folder.");
    }
    settings.reportChecked = true;
    // A folder the scan could not read would otherwise be left out without a word.
    for (const std::string& error : scan.errors) writeLine("error:\t{}\tcode: {}\tmessage: {}", error, "000", "");
    for (const std::string& path : scan.ownNames)
        writeLine("left out {}\tcode: {}\tmessage: {}", sender.toRemotePath(FilePath(path).native().path()), "000",
                  "a name the program keeps on the server");
    scanReportedErrors = !scan.errors.empty();
    settings.scanErrors = scan.errors;
    for (const RefusedEntry& refused : scan.refused)
        settings.scanRefused.push_back({sender.toRemotePath(FilePath(refused.path).native().path()), refused.reason});

    if (scan.files.empty()) return showErrorBox("no files need upload", "Error");
    sender.files = std::move(scan.files);
    sender.folders = std::move(scan.folders);
    sender.leftOut = std::move(scan.leftOut);
    // A folder that could not be read would look like one whose files are all gone.
    sender.scanComplete = scan.errors.empty();
    return true;
}
