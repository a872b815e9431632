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

// A store whose every byte went out and was taken, but whose completion reply never came
// (the control connection closed or went silent): the server may well hold the whole file,
// which its size (and hash) can tell before the file is sent again.
class UnconfirmedStore : public FTPException {
public:
    explicit UnconfirmedStore(const FTPException& silence) : FTPException(silence) {}
};
