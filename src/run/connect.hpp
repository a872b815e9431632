#pragma once
// Opening the sessions of a run: connect, log in, enter the remote folder, with the step
// lines and the retry rule; and the new connection that replaces a session lost on the way.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct RunContext;
struct Session;
class RetryRule;

// Raised in a further session that waited for the first one's login, when that failed: it
// gives up without a line of its own.
struct SessionNotWanted : std::runtime_error {
    SessionNotWanted() : std::runtime_error("not wanted: the first session could not log in") {}
};

class Connector {
public:
    Connector(const RunContext& context, const RetryRule& retry) : context_(context), retry_(retry) {}

    // A new client for `session`, set up as every client of the run.
    void newClient(Session& session) const;
    // Connects, logs in and enters the remote folder; `announce` writes the step lines.
    // A try that may be made again raises what may pass instead of writing its line;
    // "connecting..." is written once, before the first try.
    bool logIn(Session& session, bool announce, bool raiseWhatMayPass = false, bool connectingLine = true) const;
    // The first connect of a session, tried again while its failures may pass.
    // At most `most` retries, however many the run allows.
    bool connectWithRetries(Session& session, bool announce = true, std::uint32_t most = UINT32_MAX) const;
    // A new connection for the session, silently; false when that failed too.
    bool reopen(Session& session) const;
    // A session beyond the first: no step lines, and a failure ends only this session.
    void openFurther(Session& session) const;
    // Looks for what the server sent unasked, into the session's last reply; true when nothing came.
    bool quietCheck(Session& session) const;
    // The line of a failed connect or login.
    std::string connectFailure(const std::exception& failure) const;
    // Called once the first session has logged in and entered the folder, before it reads
    // what the server offers.
    void whenFirstIn(std::function<void()> in) { firstIn_ = std::move(in); }
    // Further sessions connect at once, and wait with their login until this says whether the
    // first one is in (true) or failed (false).
    void furtherWaitFor(std::function<bool()> firstIn) { awaitFirst_ = std::move(firstIn); }

private:
    // CWD into the remote folder, made first when it is missing; false (with its line and
    // the server's reason) when it cannot be entered. `readingFeatures`: FEAT goes with the CWD.
    bool enterRemote(Session& session, bool readingFeatures) const;
    // The command lines an unpaced session sends with its USER.
    std::vector<std::string> loginAhead() const;

    const RunContext& context_;
    const RetryRule& retry_;
    std::function<void()> firstIn_;
    std::function<bool()> awaitFirst_;
    const std::shared_ptr<std::atomic<bool>> allocationUnneeded_ = std::make_shared<std::atomic<bool>>(false);
};
