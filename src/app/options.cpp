#include "app/options.hpp"

#include <optional>
#include <vector>

#include "app/arguments.hpp"
#include "app/config.hpp"
#include "app/console.hpp"
#include "app/conversion.hpp"
#include "common/exception.hpp"
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

void readTlsOptions(const Arguments& arguments, Sender& sender)
{
    if (arguments.isPresent("tls")) sender.tls.enabled = parseTruth(arguments.firstValue("tls"));
    const bool caFile = arguments.isPresent("tls-ca-file");
    const bool fingerprint = arguments.isPresent("tls-fingerprint");
    if ((caFile || fingerprint) && !sender.tls.enabled)
        throw ConversionException(std::string(caFile ? "--tls-ca-file" : "--tls-fingerprint") +
                                  " applies only to TLS sessions: add --tls=true.");
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
// Every option readOptions reads. The parser is told of them so that it can refuse a slip of
// one (--tsl for --tls) instead of ignoring it as an option of another version.
const char* const optionNames[] = {
    "local", "host", "remote", "username", "password", "port", "passive", "timeout", "recurse",
    "include", "exclude", "pacing", "connections", "password-file", "tls", "tls-ca-file",
    "tls-fingerprint", "skip-unchanged", "retries", "trace", "dry-run",
};
}

void declareOptions(Arguments& arguments)
{
    for (const char* name : optionNames) arguments.define(name);
}

bool readOptions(Arguments& arguments, Sender& sender, bool& scanReportedErrors)
{
    scanReportedErrors = false;
    Config& settings = config();

    const std::string local = arguments.firstValue("local");
    if (local.empty())
        throw ConversionException("No local folder given: name the folder to upload with --local=FOLDER.");
    sender.local = normaliseLocal(local);
    writeValue(visibleText(sender.local));
    standardOutput().endLine();

    sender.host = arguments.firstValue("host");
    sender.remote = normaliseRemote(arguments.firstValue("remote"));
    sender.username = arguments.firstValue("username");
    sender.password = arguments.firstValue("password");
    if (arguments.isPresent("port")) sender.port = narrowPort(parseUnsigned(arguments.firstValue("port")));
    if (arguments.isPresent("passive")) sender.passive = parseTruth(arguments.firstValue("passive"));
    if (arguments.isPresent("timeout")) settings.timeoutSeconds = parseUnsigned(arguments.firstValue("timeout"));
    sender.timeoutSeconds = settings.timeoutSeconds;
    if (arguments.isPresent("recurse")) settings.recurse = parseTruth(arguments.firstValue("recurse"));
    if (arguments.isPresent("include")) settings.includePatterns = patternList(arguments, "include");
    if (arguments.isPresent("exclude")) settings.excludePatterns = patternList(arguments, "exclude");
    if (arguments.isPresent("pacing")) sender.pacing = parseTruth(arguments.firstValue("pacing"));
    if (arguments.isPresent("connections")) {
        std::uint32_t connections = parseUnsigned(arguments.firstValue("connections"));
        if (connections < 1 || connections > RunSettings::maxConnections)
            throw ConversionException("--connections must be from 1 to " + std::to_string(RunSettings::maxConnections) +
                                      ", not " + std::to_string(connections) + ".");
        sender.connections = connections;
    }
    readTlsOptions(arguments, sender);
    if (arguments.isPresent("password-file"))
        sender.password = passwordFrom(arguments.firstValue("password-file"));
    if (arguments.isPresent("skip-unchanged")) sender.skipUnchanged = parseTruth(arguments.firstValue("skip-unchanged"));
    if (arguments.isPresent("retries")) {
        std::uint32_t retries = parseUnsigned(arguments.firstValue("retries"));
        if (retries > RunSettings::maxRetries)
            throw ConversionException("--retries must be from 0 to " + std::to_string(RunSettings::maxRetries) + ", not " +
                                      std::to_string(retries) + ".");
        sender.retries = retries;
    }
    if (arguments.isPresent("trace")) {
        sender.trace = std::make_shared<Trace>(arguments.firstValue("trace"));
        settings.ownOutputFiles.push_back(arguments.firstValue("trace"));
    }
    if (arguments.isPresent("dry-run")) sender.dryRun = parseTruth(arguments.firstValue("dry-run"));

    ScanResult scan = scanLocal(sender.local, settings);
    // A folder the scan could not read would otherwise be left out without a word.
    for (const std::string& error : scan.errors) writeLine("error:\t{}\tcode: {}\tmessage: {}", error, "000", "");
    scanReportedErrors = !scan.errors.empty();

    if (scan.files.empty()) return showErrorBox("no files need upload", "Error");
    sender.files = std::move(scan.files);
    sender.folders = std::move(scan.folders);
    return true;
}
