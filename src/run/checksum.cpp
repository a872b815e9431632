#include "run/checksum.hpp"

#include "common/own_names.hpp"
#include "ftp/ftp.hpp"
#include "local/byte_source.hpp"
#include "local/file_hash.hpp"
#include "run/context.hpp"
#include "run/plan.hpp"

void ChecksumManifest::load(FTP& client)
{
    std::lock_guard<std::mutex> lock(loading_);
    if (loaded_) return;
    loaded_ = true;
    try {
        remote_ = parseManifest(client.retrieveText(std::string(manifestName), maxManifestBytes));
        found_ = true;
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

void ChecksumManifest::withdraw(FTP& client)
{
    try {
        client.deleteFile(std::string(manifestName));
    } catch (const FTPException& failure) {
        // Refused where none could be read: there is none to take out of force.
        if (found_ || failure.code().empty() || failure.code()[0] != '5') throw;
    }
}

void ChecksumManifest::write(FTP& client, Plan& plan)
{
    // Only what this run saw confirmed: the bytes a store sent, or a hash the old manifest
    // held for a file the server still has at its size. A file the size-and-time rule let
    // be, or one not selected now, may hold anything.
    Manifest next;
    for (const PlannedFile& file : plan.files)
        if (file.outcome == Outcome::done && !file.hash.empty()) next.hashes[file.remotePath] = file.hash;

    storeManifestFile(client, std::string(manifestName), next);
}

void storeManifestFile(FTP& client, const std::string& name, const Manifest& manifest)
{
    // Under a temporary first: a reader never finds half a record.
    const std::string text = formatManifest(manifest);
    const std::string part = name + std::string(partSuffix);
    TextSource source(text);
    client.storeStream(part, &source, [](std::uint64_t) {}, FtpFormat::image);
    client.renameOver(part, name);
}
