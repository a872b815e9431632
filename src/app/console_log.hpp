#pragma once
// The run's log in the program: lines to standard output, pauses that really pause.
#include "run/log.hpp"

class ConsoleLog : public RunLog {
public:
    void line(std::string_view format, const std::vector<FormatValue>& values) override;
    void pause(std::int32_t milliseconds) override;
};
