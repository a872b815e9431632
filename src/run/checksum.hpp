#pragma once
// --checksum: a file is unchanged when its content's SHA-256 is the one the remote manifest
// holds for it and the remote size is its size, whatever the times say (a fresh checkout
// gives every file a new one). The manifest is read once per run and written anew at its end.
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>

#include "run/manifest.hpp"

class FTP;
struct Plan;
struct PlannedFile;
struct RunContext;
struct Session;

class ChecksumManifest {
public:
    explicit ChecksumManifest(const RunContext& context) : context_(context) {}

    // Reads the remote manifest over whichever session asks first; the others wait for it.
    // A missing, unreadable or doubtful one holds nothing, so nothing is skipped on it.
    void load(FTP& client);
    // The hash the manifest holds for the path; null when it holds none.
    const std::string* hashOf(const std::string& remotePath) const;
    // The local file's hash, computed the first time it is asked; raises when it cannot be read.
    const std::string& localHash(PlannedFile& file);
    std::chrono::milliseconds hashingTime() const { return std::chrono::milliseconds(hashMicros_.load() / 1000); }

    // The manifest of every file now on the server from this run (stored or unchanged) or an
    // earlier one (an entry not selected now and not deleted, and, where the tree was listed,
    // still there), stored under a temporary name and renamed into place. Raises on failure.
    void write(FTP& client, Plan& plan, const std::set<std::string>* listed);

private:
    const RunContext& context_;
    std::mutex loading_;
    bool loaded_ = false;
    Manifest remote_;
    std::atomic<long long> hashMicros_{0};
};
