#pragma once
// The run's FTP client: the connection with its time-out given in whole seconds.
#include <cstdint>

#include "ftp/ftp_connection.hpp"

class FTP : public FTPConnection {
public:
    // Above about 24.8 days the milliseconds no longer fit 32 bits; such values are
    // clamped to the largest that does, never wrapped to a short or negative wait.
    virtual void setTimeoutSeconds(std::uint32_t seconds);
};
