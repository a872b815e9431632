#pragma once
// The trace line of one data connection, written when the transfer is left however it
// ends: "data ADDRESS VERB: N bytes, OUTCOME" ("failed" unless `succeeded` was called).
#include <cstdint>
#include <string>
#include <string_view>

class Telnet;

class DataTrace {
public:
    DataTrace(Telnet& connection, std::string verb, std::string address);
    ~DataTrace();
    DataTrace(const DataTrace&) = delete;
    DataTrace& operator=(const DataTrace&) = delete;
    void bytes(std::uint64_t count) { bytes_ = count; }
    void succeeded(std::string_view reply) { outcome_ = std::string(reply); }

private:
    Telnet& connection_;
    std::string verb_;
    std::string address_;
    std::uint64_t bytes_ = 0;
    std::string outcome_ = "failed";
};
