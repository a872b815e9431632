#pragma once
// The run's log in the program: lines to standard output, pauses that really pause.
#include "run/log.hpp"

class StatusLine;

class ConsoleLog : public RunLog {
public:
    void line(std::string_view format, const std::vector<FormatValue>& values) override;
    void pause(std::int32_t milliseconds) override;
    // A status line on the terminal the lines go to: each line is written with it out of the way.
    StatusLine* status = nullptr;
};
