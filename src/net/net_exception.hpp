#pragma once
// Failures of the socket layer. The FTP client passes them on unchanged.
#include "common/exception.hpp"

class SocketException : public Exception {
public:
    using Exception::Exception;
    std::string kind() const override { return "SocketException"; }
};

class AddressException : public Exception {
public:
    using Exception::Exception;
    std::string kind() const override { return "AddressException"; }
};
