#include "ftp/trace.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "common/exception.hpp"
#include "common/text.hpp"

namespace {
std::string twoDigits(unsigned value)
{
    std::string digits(2, '0');
    digits[0] = static_cast<char>('0' + value / 10 % 10);
    digits[1] = static_cast<char>('0' + value % 10);
    return digits;
}

std::string utcNow()
{
    using namespace std::chrono;
    const auto now = floor<milliseconds>(system_clock::now());
    const auto day = floor<days>(now);
    const year_month_day date{day};
    const hh_mm_ss time{now - day};
    std::string millis = std::to_string(time.subseconds().count());
    while (millis.size() < 3) millis.insert(millis.begin(), '0');
    return std::to_string(static_cast<int>(date.year())) + "-" + twoDigits(static_cast<unsigned>(date.month())) + "-" +
           twoDigits(static_cast<unsigned>(date.day())) + " " + twoDigits(static_cast<unsigned>(time.hours().count())) +
           ":" + twoDigits(static_cast<unsigned>(time.minutes().count())) + ":" +
           twoDigits(static_cast<unsigned>(time.seconds().count())) + "." + millis;
}
}

Trace::Trace(const std::string& path)
{
    std::u8string name(path.begin(), path.end());
    errno = 0;
    out_.open(std::filesystem::path(name), std::ios::out | std::ios::app | std::ios::binary);
    if (!out_) throw IOException(path + " :: " + (errno != 0 ? std::strerror(errno) : "cannot be opened"));
}

void Trace::append(int session, std::string_view text)
{
    std::string line = utcNow() + " #" + std::to_string(session) + " " + visibleText(text) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);
    out_ << line;
    out_.flush();
}

namespace {
class SessionLines : public DialogueObserver {
public:
    SessionLines(std::shared_ptr<Trace> trace, int session) : trace_(std::move(trace)), session_(session) {}
    void dialogueLine(std::string_view text) override { trace_->append(session_, text); }

private:
    std::shared_ptr<Trace> trace_;
    int session_;
};
}

std::shared_ptr<DialogueObserver> Trace::forSession(std::shared_ptr<Trace> trace, int session)
{
    return std::make_shared<SessionLines>(std::move(trace), session);
}
