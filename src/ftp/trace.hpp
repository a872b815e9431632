#pragma once
// The control dialogue of a run, appended to a file the operator names (--trace): every
// command sent and every reply line received, with the time and the session, and one
// line per data connection. It is how a refused file is explained afterwards.
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "ftp/dialogue_observer.hpp"

class Trace {
public:
    // Opens `path` (UTF-8) for appending; throws IOException "<path> :: <reason>".
    explicit Trace(const std::string& path);
    // One line: UTC time to the millisecond, "#session", then `text` with control
    // characters shown visibly. Sessions write from their own threads.
    void append(int session, std::string_view text);
    // What one session's control connection reports, written as that session's lines.
    static std::shared_ptr<DialogueObserver> forSession(std::shared_ptr<Trace> trace, int session);

private:
    std::mutex mutex_;
    std::ofstream out_;
};

