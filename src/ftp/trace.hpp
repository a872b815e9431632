#pragma once
// The control dialogue of a run, appended to a file the operator names (--trace): every
// command sent and every reply line received, with the time and the session, and one
// line per data connection. It is how a refused file is explained afterwards.
#include <cstdint>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>

class Trace {
public:
    // Opens `path` (UTF-8) for appending; throws IOException "<path> :: <reason>".
    explicit Trace(const std::string& path);
    // One line: UTC time to the millisecond, "#session", then `text` with control
    // characters shown visibly. Sessions write from their own threads.
    void write(int session, std::string_view text);

private:
    std::mutex mutex_;
    std::ofstream out_;
};

// A command line as the trace shows it: the password of PASS masked.
std::string traceCommand(std::string_view line);

class Telnet;

// The trace line of one data connection, written when the transfer is left however it
// ends: "data ADDRESS VERB: N bytes, OUTCOME" ("failed" unless `succeeded` was called).
class DataTrace {
public:
    DataTrace(Telnet& connection, std::string verb, std::string address);
    ~DataTrace();
    DataTrace(const DataTrace&) = delete;
    DataTrace& operator=(const DataTrace&) = delete;
    void bytes(std::uint64_t count) { bytes_ = count; }
    void succeeded(std::string_view reply) { outcome_ = std::string(reply); }

private:
    Telnet& connection_;
    std::string verb_;
    std::string address_;
    std::uint64_t bytes_ = 0;
    std::string outcome_ = "failed";
};
