#include "ftp/data_trace.hpp"

#include "ftp/telnet.hpp"

DataTrace::DataTrace(Telnet& connection, std::string verb, std::string address)
    : connection_(connection), verb_(std::move(verb)), address_(std::move(address))
{
}

DataTrace::~DataTrace()
{
    try {
        connection_.traceLine("data " + address_ + " " + verb_ + ": " + std::to_string(bytes_) + " bytes, " + outcome_);
    } catch (...) {
        // A trace that cannot be written must not turn into a failed transfer.
    }
}
