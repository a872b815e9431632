#include "app/options.hpp"

#include <vector>

#include "app/arguments.hpp"
#include "app/config.hpp"
#include "app/console.hpp"
#include "app/conversion.hpp"
#include "common/exception.hpp"
#include "scan/patterns.hpp"
#include "scan/scan.hpp"
#include "sender/sender.hpp"

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
    if (arguments.isPresent("recurse")) settings.recurse = parseTruth(arguments.firstValue("recurse"));
    if (arguments.isPresent("include")) settings.includePatterns = patternList(arguments, "include");
    if (arguments.isPresent("exclude")) settings.excludePatterns = patternList(arguments, "exclude");

    ScanResult scan = scanLocal(sender.local);
    // A folder the scan could not read would otherwise be left out without a word.
    for (const std::string& error : scan.errors) writeLine("error:\t{}\tcode: {}\tmessage: {}", error, "000", "");
    scanReportedErrors = !scan.errors.empty();

    if (scan.files.empty()) return showErrorBox("no files need upload", "Error");
    sender.files = std::move(scan.files);
    sender.folders = std::move(scan.folders);
    return true;
}
