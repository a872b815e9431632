#pragma once
// One server reply: a three-character code and the reply text (further lines of
// a multi-line reply joined with "\n").
#include <string>

struct FtpReply {
    std::string code = "000";
    std::string message;
};
