#pragma once
// The failure types every layer raises. Each carries one message text; the
// entry point shows `message()` unchanged, the last-resort handler adds `kind()`.
#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
public:
    explicit Exception(std::string message) : message_(std::move(message)) {}
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }
    virtual std::string kind() const { return "Exception"; }
    // The text form; subclasses that carry more than a message (FTPException) extend it.
    virtual std::string toString() const { return message_; }

private:
    std::string message_;
};

class IOException : public Exception {
public:
    using Exception::Exception;
    std::string kind() const override { return "IOException"; }
};

class ConversionException : public Exception {
public:
    using Exception::Exception;
    std::string kind() const override { return "ConversionException"; }
};
