#pragma once
// One deploy at a time per remote folder. A run that changes the remote tree with the deploy
// options makes the lock folder (MKD either creates it or fails, on every server) and leaves
// in it a file naming the run's host, process and start; it removes both at its end.
//
// A lock found in place is stale, and taken over, when it names this host and a process that
// no longer runs here, or when it is older than `staleAfter` (by the start it names or, when
// it cannot be read, by the times the server gives). Otherwise the run stops before it reads
// or changes anything. The owner file also tells whether the server keeps the times it is
// given: the skip decision's times are only trusted when it does.
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ftp/ftp_reply.hpp"

class FTP;
struct Plan;
struct RunContext;
struct Session;

class RemoteLock {
public:
    // Longer than any deploy is expected to take, and than any zone's distance from UTC, so a
    // server that gives local times cannot make a fresh lock look old.
    static constexpr std::chrono::hours staleAfter{24};

    RemoteLock(const RunContext& context, Plan& plan);

    // Whether this run takes a lock at all: it changes the remote tree with a deploy option.
    bool wanted() const;
    // Takes the lock over the session (nothing when not wanted). False when another run holds
    // it or it cannot be taken: its error line is written and the problem recorded.
    // Raises when the session was lost on the way. `madeHere` is called once the folder is made
    // by this run, before its owner is written: no other run can change the tree from then on.
    // `probe` false leaves the probe of the server's times to `probeTimes`, before any time
    // is trusted.
    bool take(Session& session, const std::function<void()>& madeHere = {}, bool probe = true);
    bool held() const { return held_; }
    // Sets the owner file's time and reads it back: whether times judge what is unchanged.
    void probeTimes(FTP& client);
    // Removes the lock when this run holds it and the session can still talk; never raises.
    void release(Session& session) noexcept;

    // Set by take() for the skip decision: the server gave back the time set on the owner
    // file. Empty when it did; otherwise why not, for the line.
    const std::optional<std::string>& timesDistrusted() const { return timesDistrusted_; }

private:
    struct Owner;
    bool claim(FTP& client, bool takenOver, bool probe);
    void releaseAtOnce(FTP& client, Session& session);
    // Why the lock found is stale, or nothing when it must be left alone.
    std::optional<std::string> staleness(FTP& client, const Owner& owner) const;
    std::optional<std::int64_t> remoteTimeOfLock(FTP& client) const;
    // The error line and the run's problem; false.
    bool refuse(Session& session, const std::string& message, const FtpReply& reply);

    const RunContext& context_;
    Plan& plan_;
    std::int64_t started_;
    std::string ownerLine_;
    bool held_ = false;
    std::optional<std::string> timesDistrusted_;
};
