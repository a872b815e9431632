#include "app/status_line.hpp"

#include <cstdio>

#include "app/console.hpp"
#include "run/log.hpp"

namespace {
// 0:29, 12:05, 1:02:05
std::string clockText(std::chrono::seconds left)
{
    const long long total = left.count();
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

// A terminal whose width is not known is taken for the narrowest usual one.
constexpr std::size_t usualColumns = 80;
}

std::string statusText(const ProgressSnapshot& progress)
{
    std::string text = lines::grouped(progress.filesDone) + "/" + lines::grouped(progress.files) + " files, " +
                       lines::bytesText(static_cast<double>(progress.bytesDone), 1) + " of " +
                       lines::bytesText(static_cast<double>(progress.bytes), 1) + ", " +
                       lines::bytesText(static_cast<double>(progress.bytesPerSecond), 1) + "/s";
    if (progress.timeLeft) text += ", " + clockText(*progress.timeLeft) + " left";
    return text + ", " + lines::grouped(progress.failed) + " failed";
}

StatusLine::StatusLine(ConsoleStream& out, std::size_t columns, Clock clock)
    : out_(out), width_((columns > 1 ? columns : usualColumns) - 1), clock_(std::move(clock))
{
}

StatusLine::~StatusLine() { finish(); }

void StatusLine::planned(std::size_t files, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tally_.planned(files, bytes);
    planned_ = true;
    began_ = clock_();
    update();
}

void StatusLine::started(int session, std::uint64_t size)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tally_.started(session, size);
    update();
}

void StatusLine::sent(int session, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tally_.sent(session, bytes);
    update();
}

void StatusLine::ended(int session, Ending ending)
{
    std::lock_guard<std::mutex> lock(mutex_);
    tally_.ended(session, ending);
    update();
}

void StatusLine::aside(const std::function<void()>& write)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const bool shown = shown_ > 0;
    if (shown) clear();
    // The line is drawn again even when the write fails: the caller hears of the failure.
    struct Redraw {
        StatusLine& line;
        bool shown;
        ~Redraw()
        {
            if (shown) line.draw(line.text_);
        }
    } redraw{*this, shown};
    write();
}

void StatusLine::finish()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    clear();
    finished_ = true;
}

void StatusLine::update()
{
    if (!planned_ || finished_) return;
    const auto now = clock_();
    if (shown_ > 0 && now - drawnAt_ < interval) return;
    drawnAt_ = now;
    text_ = statusText(tally_.snapshot(std::chrono::duration_cast<std::chrono::milliseconds>(now - began_)));
    if (text_.size() > width_) text_.resize(width_);
    draw(text_);
}

void StatusLine::draw(const std::string& text)
{
    // Spaces over what is longer than the new text: no terminal needs more to clear it.
    std::string bytes = "\r";
    bytes += text;
    if (shown_ > text.size()) bytes.append(shown_ - text.size(), ' ');
    put(bytes);
    shown_ = text.size();
}

void StatusLine::clear()
{
    if (shown_ == 0) return;
    std::string bytes = "\r";
    bytes.append(shown_, ' ');
    bytes += '\r';
    put(bytes);
    shown_ = 0;
}

void StatusLine::put(const std::string& bytes)
{
    if (finished_) return;
    try {
        out_.writeValue(bytes);
        out_.flush();
    } catch (...) {
        // A status line that cannot be written is no failure of the run; it is left off.
        finished_ = true;
    }
}
