#pragma once
// --progress on a terminal: one line on standard error, rewritten in place, that says where
// the stores stand. It is drawn with a carriage return and overwritten with spaces, which a
// POSIX terminal and a Windows console (no escape sequences needed) both understand.
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>

#include "run/progress.hpp"

class ConsoleStream;

// "12/1,065 files, 3.2 MiB of 64.0 MiB, 2.1 MiB/s, 0:29 left, 1 failed"
std::string statusText(const ProgressSnapshot& progress);

class StatusLine : public ProgressObserver {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;
    // New text at most this often; a line of the log in between shows the last one again.
    static constexpr std::chrono::milliseconds interval{500};

    // `columns`: the terminal's width; the text is kept shorter, since a line that wraps
    // could not be returned to.
    StatusLine(ConsoleStream& out, std::size_t columns, Clock clock = std::chrono::steady_clock::now);
    ~StatusLine() override;
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void planned(std::size_t files, std::uint64_t bytes) override;
    void started(int session, std::uint64_t size) override;
    void sent(int session, std::uint64_t bytes) override;
    void ended(int session, Ending ending) override;

    // Writes a line of the log (on the same terminal) with the status line out of its way.
    void aside(const std::function<void()>& write);
    // Clears the line for good: what follows the run has the terminal to itself.
    void finish();

private:
    // With the lock held.
    void update();
    void draw(const std::string& text);
    void clear();
    void put(const std::string& bytes);

    ConsoleStream& out_;
    std::size_t width_;
    Clock clock_;
    ProgressTally tally_;
    std::mutex mutex_;
    bool planned_ = false;
    bool finished_ = false;
    std::chrono::steady_clock::time_point began_;
    std::chrono::steady_clock::time_point drawnAt_;
    std::string text_;
    // How many columns the line on the terminal takes now; 0 when nothing is shown.
    std::size_t shown_ = 0;
};
