#pragma once
// Every FTP-level failure: a server refusal (the server's code and words), silence
// (code "500"), or a failure found by the client (messages beginning "CLIENT: ").
#include <string>

#include "common/exception.hpp"
#include "ftp/ftp_reply.hpp"

class FTPException : public Exception {
public:
    FTPException(std::string code, std::string message);
    explicit FTPException(const FtpReply& reply);

    const std::string& code() const { return code_; }
    std::string toString() const override { return code_ + " " + message(); }
    std::string kind() const override { return "FTPException"; }

private:
    std::string code_ = "000";
};
