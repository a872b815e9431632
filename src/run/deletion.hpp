#pragma once
// Mirror deletion (--delete): after the stores, what lies below the remote folder with no
// selected local counterpart is deleted, files first, then the folders left empty, the
// deepest first. Whatever the scan would leave out stays; so does anything the listing
// names oddly. Nothing goes after a failed file or listing: a partial picture of either
// side must never cost a remote file.
//
// Nothing is deleted through a link or any other second name of a folder: a folder the
// server marks as a link, one whose "unique" fact another folder shares, and one whose
// listing repeats a folder above it are left alone with everything below. Where the server
// may fold letter case (always for a build on a platform that does; elsewhere once a
// listing shows a name of the plan only in another spelling), a remote name is the plan's
// name it equals but for case, and never deleted as gone.
#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

class FTP;
class PlanNames;
class RetryRule;
class RunStop;
struct Plan;
struct RemoteEntry;
struct RunContext;
struct Session;

class Deletion {
public:
    // `stop`: once it says so, no further deletion is started.
    Deletion(const RunContext& context, Plan& plan, const RetryRule& retry, const RunStop& stop);

    // Lists the remote tree over the session and plans the deletions; false (nothing
    // planned) when a listing failed.
    bool plan(Session& session);
    // Deletes what was planned, one line each; a dry run only names it.
    void carryOut(Session& session);
    // Plain files the listing showed: what a share of --max-delete is a share of.
    std::size_t filesListed() const { return filesListed_; }

private:
    struct Folder {
        std::string path;      // as the server spells it: the commands name it so
        std::string planPath;  // as the plan spells it: the selection is matched to it
        std::size_t parent = 0;
        // Entries that stay: the folder is not empty after the deletions.
        std::size_t kept = 0;
        // A second name of a folder seen elsewhere: nothing in it or below is touched.
        bool alias = false;
        std::string listingDigest;
    };
    // Runs `step` over the session, replacing a lost connection once (with retries); false
    // when it failed.
    bool attempt(Session& session, const std::function<void(FTP&)>& step) const;
    // What LIST shows of `folder`'s folder entries, by name; false when it cannot tell.
    bool listAsLinks(Session& session, const std::string& folder, std::map<std::string, RemoteEntry>& shown) const;
    // The scan would leave it out, or left out it or a folder above it.
    bool leftAlone(const std::string& path, bool folder) const;
    // The name in the plan's spelling, or empty when it stands for several (each then gets its line).
    std::string planName(Session& session, const PlanNames& known, const Folder& folder, const std::string& name,
                         const std::set<std::string>& shown);
    // The folder's listing is an earlier folder's above it: a link back up the tree.
    bool repeatsAncestor(const std::vector<Folder>& folders, std::size_t at) const;
    void noteUnique(std::vector<Folder>& folders, const std::string& unique, std::size_t owner);
    void problem(Session& session, const std::string& line, const std::string& why);
    bool remove(Session& session, const std::string& path, bool folder);

    const RunContext& context_;
    Plan& plan_;
    const RetryRule& retry_;
    const RunStop& stop_;
    // The server was seen to take one spelling for another, or may.
    bool foldsCase_ = false;
    std::set<std::string> clashes_;
    // Folders by their "unique" fact (npos: seen, not walked).
    std::map<std::string, std::set<std::size_t>> byUnique_;
    std::size_t filesListed_ = 0;
};
