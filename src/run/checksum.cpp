#include "run/checksum.hpp"

#include <cstring>

#include "common/own_names.hpp"
#include "ftp/ftp.hpp"
#include "local/byte_source.hpp"
#include "local/file_hash.hpp"
#include "run/context.hpp"
#include "run/deletion.hpp"
#include "run/plan.hpp"

namespace {
// A manifest is some 100 bytes a file; far beyond any tree this program is run on.
constexpr std::size_t maxManifestBytes = 64 * 1024 * 1024;

class TextSource : public ByteSource {
public:
    explicit TextSource(const std::string& text) : text_(text) {}
    std::size_t read(char* buffer, std::size_t capacity) override
    {
        const std::size_t count = std::min(capacity, text_.size() - at_);
        std::memcpy(buffer, text_.data() + at_, count);
        at_ += count;
        return count;
    }

private:
    const std::string& text_;
    std::size_t at_ = 0;
};
}

void ChecksumManifest::load(FTP& client)
{
    std::lock_guard<std::mutex> lock(loading_);
    if (loaded_) return;
    loaded_ = true;
    try {
        remote_ = parseManifest(client.retrieveText(std::string(manifestName), maxManifestBytes));
    } catch (const std::exception&) {
        // Usually there is none yet; the size-and-time rule decides then.
        remote_ = Manifest{};
    }
}

const std::string* ChecksumManifest::hashOf(const std::string& remotePath) const
{
    auto found = remote_.hashes.find(remotePath);
    return found == remote_.hashes.end() ? nullptr : &found->second;
}

const std::string& ChecksumManifest::localHash(PlannedFile& file)
{
    if (file.hash.empty()) {
        const auto start = std::chrono::steady_clock::now();
        file.hash = hashLocalFile(file.localPath);
        hashMicros_ += std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start)
                           .count();
    }
    return file.hash;
}

void ChecksumManifest::write(FTP& client, Plan& plan, const std::set<std::string>* listed)
{
    Manifest next;
    std::set<std::string> selected;
    for (PlannedFile& file : plan.files) {
        selected.insert(file.remotePath);
        if (file.outcome != Outcome::done) continue;
        try {
            next.hashes[file.remotePath] = localHash(file);
        } catch (const std::exception&) {
            // Left out: the next run compares it by size and time.
        }
    }
    std::set<std::string> deleted;
    for (const PlannedDeletion& deletion : plan.deletions)
        if (deletion.outcome == Outcome::done) deleted.insert(deletion.remotePath);
    for (const auto& [path, hash] : remote_.hashes)
        if (selected.count(path) == 0 && deleted.count(path) == 0 && (!listed || listed->count(path) != 0))
            next.hashes.emplace(path, hash);

    const std::string text = formatManifest(next);
    const std::string part = std::string(manifestName) + ".ftpupload-part";
    TextSource source(text);
    client.storeStream(part, &source, [](std::uint64_t) {}, FtpFormat::image);
    client.renameOver(part, std::string(manifestName));
}
