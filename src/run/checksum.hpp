#pragma once
// --checksum: a file is unchanged when its content's SHA-256 is the one the remote manifest
// holds for it (or the server's own hash of it, where the server offers one: compare.cpp) and
// the remote size is its size, whatever the times say (a fresh checkout gives every file a new
// one). The manifest is read once per run, deleted before the run changes anything, and
// written anew at its end.
#include <atomic>
#include <chrono>
#include <mutex>
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

    // Deletes the remote manifest, so that a run that changes files and does not get to its
    // end leaves none that describes them as they were. Raises when one may still be there.
    void withdraw(FTP& client);
    // The manifest of the files this run stored (the hash of the bytes sent) or found
    // unchanged by their hash, stored under a temporary name and renamed into place.
    // Raises on failure.
    void write(FTP& client, Plan& plan);

private:
    const RunContext& context_;
    std::mutex loading_;
    bool loaded_ = false;
    // A manifest was read, so one is there.
    bool found_ = false;
    Manifest remote_;
    std::atomic<long long> hashMicros_{0};
};

// A manifest-format file (the manifest, the staged record) stored under a temporary name and
// renamed into place. Raises on failure.
void storeManifestFile(FTP& client, const std::string& name, const Manifest& manifest);
