#include "app/console_log.hpp"

#include "app/console.hpp"
#include "app/status_line.hpp"
#include "run/pause.hpp"

void ConsoleLog::line(std::string_view format, const std::vector<FormatValue>& values)
{
    if (!status) {
        standardOutput().writeLine(format, values);
        return;
    }
    status->aside([&] { standardOutput().writeLine(format, values); });
}

void ConsoleLog::pause(std::int32_t milliseconds) { pauseFor(milliseconds); }
