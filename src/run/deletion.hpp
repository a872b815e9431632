#pragma once
// Mirror deletion (--delete): after the stores, what lies below the remote folder with no
// selected local counterpart is deleted, files first, then the folders left empty, the
// deepest first. Whatever the scan would leave out stays; so does anything the listing
// names oddly. Nothing goes after a failed file or listing: a partial picture of either
// side must never cost a remote file.
#include <cstddef>
#include <set>
#include <string>
#include <vector>

class Connector;
class FTP;
class RetryRule;
struct Plan;
struct RemoteEntry;
struct RunContext;
struct Session;

class Deletion {
public:
    Deletion(const RunContext& context, Plan& plan, const Connector& connector, const RetryRule& retry);

    // Lists the remote tree over the session and plans the deletions; false (nothing
    // planned) when a listing failed. Names on the server seen by the listing are kept
    // in `listed`, as paths below the remote folder.
    bool plan(Session& session);
    // Deletes what was planned, one line each; a dry run only names it.
    void carryOut(Session& session);
    const std::set<std::string>& listed() const { return listed_; }
    // Plain files among them: what a share of --max-delete is a share of.
    std::size_t filesListed() const { return filesListed_; }

private:
    struct Folder {
        std::string path;
        std::size_t parent = 0;
        // Entries that stay: the folder is not empty after the deletions.
        std::size_t kept = 0;
    };
    std::vector<RemoteEntry> list(FTP& client, const std::string& folder) const;
    // The scan would leave it out, or left out it or a folder above it.
    bool leftAlone(const std::string& path, bool folder) const;
    bool remove(Session& session, const std::string& path, bool folder);

    const RunContext& context_;
    Plan& plan_;
    const Connector& connector_;
    const RetryRule& retry_;
    std::set<std::string> listed_;
    std::size_t filesListed_ = 0;
};
