#pragma once
// What a run will do, decided before anything is stored: the remote folders to create and,
// for each selected file, where it comes from, where it goes and what is done with it.
// Execution takes the plan and knows nothing of how it was made.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ftp/ftp_reply.hpp"
#include "local/file_path.hpp"
#include "run/resume.hpp"

enum class FileAction {
    store,      // sent (in a dry run: would be)
    unchanged,  // the remote copy is up to date
};

// What became of a planned file or deletion, for the report.
enum class Outcome { pending, done, failed };

struct PlannedFile {
    FilePath source;
    std::string localPath;   // native, "\" separated
    std::string remotePath;  // below the remote folder, "/" separated
    FileAction action = FileAction::store;
    Outcome outcome = Outcome::pending;
    std::uint32_t tries = 0;
    // The reply (or the client's own finding) that failed the last try.
    FtpReply failure;
    // The content's SHA-256 (hex), once it was needed.
    std::string hash;
    // What --verify compared with the server's copy of the stored file: "sha256" or "size".
    std::string verified;
    // Matches --last: put in place after every other file.
    bool last = false;
    // --staged: on the server under its temporary name, waiting for the commit; `kept`: the
    // temporary an earlier run left was found to hold this content and was not sent again.
    bool staged = false;
    bool kept = false;
    // With --retries: the last store that broke, and where the stored copy's last try began
    // (0: with the first byte).
    BrokenStore broken;
    std::uint64_t resumedAt = 0;
};

// A remote entry with no selected local counterpart, deleted after the stores.
struct PlannedDeletion {
    std::string remotePath;
    bool folder = false;
    Outcome outcome = Outcome::pending;
    FtpReply failure;
};

// A failure of the run as a whole rather than of one file or deletion (a connection that
// could not be made, deletion skipped, a manifest not written, a lock held), for the report.
struct RunProblem {
    std::string what;
    FtpReply reply;
};

struct Plan {
    // Remote folders, every parent before its children.
    std::vector<std::string> folders;
    std::vector<PlannedFile> files;
    // Remote folders seen to exist while the plan was completed (listed): they need no MKD.
    std::set<std::string> existingFolders;
    // Files before folders, every folder after the folders below it.
    std::vector<PlannedDeletion> deletions;
    // Deletion was asked for and not done: a file failed or the remote tree could not be listed.
    bool deletionSkipped = false;
    // The manifest of --checksum could not be written.
    bool manifestFailed = false;
    // --staged: from the first rename of the commit to the last; nothing when none was made.
    std::optional<std::int64_t> commitMicros;
    // What the scan saw and left out, as paths below the remote folder; whether it read
    // every folder. Deletion leaves the first alone and needs the second.
    std::set<std::string> leftOut;
    bool localComplete = true;
    // In the order they happened; added from the first session's thread only.
    std::vector<RunProblem> problems;

    std::size_t count(FileAction action) const;
    // The folder exists: it was seen, or a folder below it was.
    bool exists(const std::string& folder) const;
};

// Marks the files matching `patterns` (as --include matches) as last and moves them behind
// the others, keeping the order within each group.
void orderLast(Plan& plan, const std::vector<std::string>& patterns);
// A local path (with "\") as it is stored below the remote folder (with "/").
std::string toRemotePath(const std::string& local, const std::string& localPath);
// Where --atomic stores a file before renaming it into place: ".NAME.ftpupload-part" in
// the same folder.
std::string partNameOf(const std::string& remotePath);
// "a/b" of "a/b/c.txt"; empty for a file in the remote folder itself.
std::string remoteFolderOf(const std::string& remotePath);
// Every file to be stored; `folders` as the scan lists them (children before parents).
Plan makePlan(const std::string& local, const std::vector<FilePath>& files, const std::vector<FilePath>& folders);
