// Renames in one batch: how a staged deploy puts many files in place within a short window.
#include "ftp/ftp_connection.hpp"

std::vector<std::optional<FtpReply>> FTPConnection::renameAll(
    const std::vector<std::pair<std::string, std::string>>& moves)
{
    std::string batch;
    for (const auto& [from, to] : moves) batch += commandLine("RNFR", {from}) + commandLine("RNTO", {to});
    sendCommands(batch);
    std::vector<std::optional<FtpReply>> outcomes;
    bool silent = false;
    for (std::size_t at = 0; at < moves.size(); ++at) {
        // Once a reply failed to come, the rest cannot be told apart: each is unknown.
        FtpReply from = silent ? FtpReply{"500", ""} : readReply();
        FtpReply to = silent || isSilence(from) ? FtpReply{"500", ""} : readReply();
        silent = isSilence(from) || isSilence(to);
        if (from.code == "350" && to.code == "250")
            outcomes.emplace_back();
        else
            outcomes.emplace_back(from.code != "350" ? from : to);
    }
    return outcomes;
}
