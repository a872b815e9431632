#pragma once
// The one rule for a step that failed, for storing, deleting, listing and making folders
// alike: what may pass, how long to wait, the line that says a try will be made again, and how
// the session is brought back (in step again, or replaced) before that try.
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

struct RunContext;
struct Session;

// A failure that may pass: a 4xx reply (the client's own time-outs and a connection lost
// or silent included) or a broken connection. Refusals (5xx), certificate refusals and
// local failures will not.
bool mayPass(const std::exception& failure);
// 1, 2, 4 ... seconds between tries, never more than 30.
std::int32_t retryWait(std::uint32_t tried);

// What a failed try leaves behind, and so what comes before the next one.
enum class Failure {
    final,        // no further try: the failure will not pass, the tries are spent, or the run was interrupted
    mayPass,      // tried again as it is
    outOfStep,    // a reply is still owed: the dialogue is brought back in step first
    sessionLost,  // a new connection first
};

class RetryRule {
public:
    // Gives a session a new connection, silently; false when that failed too.
    using Reopen = std::function<bool(Session&)>;
    explicit RetryRule(const RunContext& context, Reopen reopen = {});
    std::uint32_t retries() const { return retries_; }

    // Whether a try that failed so, after `tried` earlier ones, is made again; a session
    // found lost is replaced whatever the failure said.
    bool again(const std::exception& failure, std::uint32_t tried, bool sessionLost = false) const;
    Failure classify(const std::exception& failure, const Session& session, std::uint32_t tried) const;
    // "retry WHAT (k of N)", then the wait before try k+1.
    void announce(const Session& session, const std::string& what, std::uint32_t tried) const;

    // The one way a step of a session is tried: each failure is classified, and while it may
    // pass the retry is announced, the session brought back or replaced, and the try counted
    // in `tries`. Returns what the step returned; throws the failure that ended the tries (a
    // session found lost before a try as "421 connection closed by the server"). A session
    // that a failed step left out of step is brought back first, or closed, so that no later
    // reply lands on the wrong command.
    // A session the server closed while it waited for the step (an idle time-out) is
    // replaced first, as keepUsable does, without spending a try. After a store whose
    // completion reply never came (UnconfirmedStore), `confirm`, where given, comes before
    // the next try: true when the server is found to hold the file, which then is not sent again.
    bool attempt(Session& session, const std::string& what, const std::function<bool()>& step,
                 std::uint32_t* tries = nullptr, const std::function<bool()>& confirm = {}) const;
    // A step whose failures the caller takes as they come, but for a lost session: that is
    // replaced (with the retries) and the step done once more. False when it did not succeed.
    bool redoOnNewSession(Session& session, const std::function<bool()>& step) const;
    // True when the session is usable, a lost one replaced first within the retries, each new
    // connection announced as "retry connect to HOST". With retries, one the server closed
    // while it was idle (421 unasked) counts as lost.
    bool keepUsable(Session& session) const;

private:
    void bringInStep(Session& session) const;

    const RunContext& context_;
    std::uint32_t retries_;
    Reopen reopen_;
};
