#pragma once
// The one rule for trying again, for connecting, storing and listing alike: what may pass,
// how long to wait, and the line that says a try will be made again.
#include <cstdint>
#include <exception>
#include <string>

struct RunContext;
struct Session;

// A failure that may pass: a 4xx reply (the client's own time-outs and a connection lost
// or silent included) or a broken connection. Refusals (5xx), certificate refusals and
// local failures will not.
bool mayPass(const std::exception& failure);
// 1, 2, 4 ... seconds between tries, never more than 30.
std::int32_t retryWait(std::uint32_t tried);

class RetryRule {
public:
    explicit RetryRule(const RunContext& context);
    std::uint32_t retries() const { return retries_; }
    // Whether a try that failed so, after `tried` earlier ones, is made again; a session
    // found lost is replaced whatever the failure said.
    bool again(const std::exception& failure, std::uint32_t tried, bool sessionLost = false) const;
    // "retry WHAT (k of N)", then the wait before try k+1.
    void announce(const Session& session, const std::string& what, std::uint32_t tried) const;

private:
    const RunContext& context_;
    std::uint32_t retries_;
};
