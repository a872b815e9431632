#include "ftp/ftp_exception.hpp"

#include <utility>

FTPException::FTPException(std::string code, std::string message) : Exception(std::move(message)), code_(std::move(code))
{
}

FTPException::FTPException(const FtpReply& reply) : FTPException(reply.code, reply.message) {}
