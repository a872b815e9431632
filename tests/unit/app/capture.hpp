#pragma once
// Test stand-ins for the console and the box: what a run wrote and which boxes it showed.
#include <string>
#include <utility>
#include <vector>

#include "app/console.hpp"

struct RecordingSink : ConsoleStream::Sink {
    bool isInteractive = false;
    bool refuse = false;
    std::vector<std::string> writes;

    bool interactive() const override { return isInteractive; }
    bool write(std::string_view utf8, std::string& error) override
    {
        if (refuse) {
            error = "device refused";
            return false;
        }
        writes.emplace_back(utf8);
        return true;
    }
    std::string all() const
    {
        std::string joined;
        for (const std::string& w : writes) joined += w;
        return joined;
    }
};

struct Box {
    std::string title;
    std::string message;
    bool operator==(const Box&) const = default;
};

// Standard output and boxes of one test; restores the real ones afterwards.
class CapturedConsole {
public:
    CapturedConsole()
        : sinkOverride_(standardOutput(), &sink),
          boxOverride_([this](const std::string& message, const std::string& title) {
              boxes.push_back({title, message});
              outputAtBox.push_back(sink.all());
          })
    {
    }
    std::string output()
    {
        standardOutput().flush();
        return sink.all();
    }

    RecordingSink sink;
    std::vector<Box> boxes;
    // What standard output had received when each box appeared.
    std::vector<std::string> outputAtBox;

private:
    SinkOverride sinkOverride_;
    ErrorBoxOverride boxOverride_;
};
