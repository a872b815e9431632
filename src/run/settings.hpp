#pragma once
// What the command line asks of one run. The entry point fills it once; every part of the
// run is handed what it needs of it, and nothing below the entry point reads a global.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "local/scan.hpp"

class RateLimit;
class Trace;

// --tls and its checks; the host is the run's own.
struct TlsOptions {
    bool enabled = false;
    // --tls=implicit: TLS from the first byte, on port 990 unless --port says otherwise.
    bool implicit = false;
    std::string caFile;       // further PEM roots; empty: the system's only
    std::string fingerprint;  // 64 lowercase hex digits; empty: chain and name checks
};

// --max-delete: the most files a deletion may take, as a count or as a percentage of the remote
// files listed. A percentage holds only once more than `floor` files would go, so that small
// clean-ups of small sites pass.
struct DeleteLimit {
    static constexpr std::size_t floor = 10;
    std::uint32_t value = 50;
    bool percent = true;
};

struct RunSettings {
    static constexpr std::uint32_t maxConnections = 16;
    static constexpr std::uint32_t maxRetries = 100;

    std::string username;
    std::string password;
    std::string host;
    std::uint32_t port = 21;
    std::string remote;
    std::string local;
    bool passive = true;
    // --active: the server connects to us for every data connection.
    bool active = false;
    // Of every network wait.
    std::uint32_t timeoutSeconds = 5;
    // false: no fixed pauses, no waiting for late replies, fewer round trips per file.
    bool pacing = true;
    std::uint32_t connections = 1;
    TlsOptions tls;
    // Leave out files whose remote copy has the same size and is not older.
    bool skipUnchanged = false;
    // Further tries of a failure that may pass (a lost connection, a 4xx reply).
    std::uint32_t retries = 0;
    // Only say what would be stored.
    bool dryRun = false;
    // Deploying: remote files without a selected local counterpart are deleted after the
    // stores; each file is stored under a temporary name and renamed into place; the skip
    // decision compares contents with the remote manifest instead of times.
    bool deleteGone = false;
    bool atomic = false;
    bool checksum = false;
    // A store counts once the server confirms what it holds: its hash of the file, else its size.
    bool verify = false;
    // --staged (with atomic): every file goes to its temporary first, and only when all of
    // them are there are they renamed into place, the files matching `lastPatterns` last.
    bool staged = false;
    // --last: the files put in place after every other (the pages that name the others);
    // in an unstaged run they are stored once every other file is in place.
    std::vector<std::string> lastPatterns;
    DeleteLimit maxDelete;
    // What the scan selects: deletion leaves alone whatever it would leave out.
    ScanSettings selection;
    // Where every session's dialogue is appended (--trace); none without.
    std::shared_ptr<Trace> trace;
    // --limit-rate: the budget every session's data spends from; none without.
    std::shared_ptr<RateLimit> rateLimit;
    // Some option beyond the described ones was given, --pacing aside (it has its own field).
    bool addedOptions = false;

    // Paced, and none of the options beyond the described ones: the run whose lines, commands
    // and pauses stay exactly as they always were. Every other run may say more, stop early
    // and make what is missing.
    bool describedRun() const
    {
        return pacing && !addedOptions && connections == 1 && !tls.enabled && !skipUnchanged && retries == 0 &&
               !dryRun && !deleteGone && !atomic && !checksum && !verify && !trace && !selection.hidden;
    }
};
