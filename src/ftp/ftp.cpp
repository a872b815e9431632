#include "ftp/ftp.hpp"

#include <limits>

void FTP::setTimeoutSeconds(std::uint32_t seconds)
{
    constexpr std::int64_t maxMilliseconds = std::numeric_limits<std::int32_t>::max();
    std::int64_t milliseconds = static_cast<std::int64_t>(seconds) * 1000;
    if (milliseconds > maxMilliseconds) milliseconds = maxMilliseconds;
    setTimeout(milliseconds * 10'000);
}
