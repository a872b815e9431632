#include "run/session.hpp"

#include "ftp/ftp.hpp"

Session::Session() = default;
Session::~Session() = default;
Session::Session(Session&&) noexcept = default;
Session& Session::operator=(Session&&) noexcept = default;

bool Session::usable() const { return client && client->connected() && !client->lost(); }
