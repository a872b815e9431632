#pragma once
// The skip decision of --skip-unchanged, folder by folder: a folder's listing (or, where the
// server lists nothing, the pipelined sizes and times of its files) marks a file whose remote
// copy has its size and is not older as unchanged. Folders are decided on whichever session
// takes them, at the same time.
#include <cstddef>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "run/decision.hpp"

class ChecksumManifest;
class FTP;
struct RemoteEntry;
struct RemoteFacts;
struct Plan;
struct PlannedFile;
struct RunContext;
struct Session;
class RetryRule;

class UnchangedDecision : public PlanDecision {
public:
    // With `checksum`, a file the manifest knows is compared by content.
    UnchangedDecision(const RunContext& context, Plan& plan, ChecksumManifest* checksum = nullptr);

    std::size_t parts() const override { return folders_.size(); }
    // Decides one folder over `session`, replacing it when it is lost (with retries); a
    // folder that cannot be looked at leaves its files to be stored.
    void decide(const RetryRule& retry, Session& session, std::size_t first, std::size_t count) override;
    void decideStream(const RetryRule& retry, Session& session, std::size_t first, const TakePart& take,
                      const PartDecided& decided) override;
    std::size_t distrustTimes() override;
    std::vector<PlannedFile*> storable(std::size_t first, std::size_t count) override;

private:
    struct Folder {
        std::string path;
        std::vector<PlannedFile*> files;
    };
    // Folders [first, first + count) over the session; false when that failed.
    bool lookUp(Session& session, std::size_t first, std::size_t count);
    bool list(FTP& client, const Folder& folder);
    bool query(FTP& client, std::size_t first, std::size_t count);
    // The parts in `taken`, then those `take` hands out, in one stream of questions; a part
    // leaves `taken` once decided.
    bool lookUpStreaming(Session& session, std::deque<std::size_t>& taken, const TakePart& take,
                         const PartDecided& decided);
    void judge(FTP& client, PlannedFile& file, const RemoteFacts& facts, bool mlst);
    void seen(const std::string& folder);
    bool upToDate(FTP& client, PlannedFile& file, const RemoteEntry& entry);

    const RunContext& context_;
    Plan& plan_;
    std::vector<Folder> folders_;
    std::mutex known_;
    ChecksumManifest* checksum_;
    // Judged unchanged by the size-and-time rule alone (under known_).
    std::set<PlannedFile*> byTime_;
};
