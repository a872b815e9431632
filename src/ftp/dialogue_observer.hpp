#pragma once
// What a control connection reports of its dialogue to whoever keeps it (the trace). The
// connection knows only this interface, not where the lines go.
#include <string>
#include <string_view>

class DialogueObserver {
public:
    virtual ~DialogueObserver() = default;
    // One line: "> COMMAND" (the password of PASS masked), "< REPLY LINE", or an event.
    virtual void dialogueLine(std::string_view text) = 0;
};

// A command line as an observer is told of it: the password of PASS masked.
std::string observedCommand(std::string_view line);
