#pragma once
// Parts of the OpenSSL channel shared by its files; include only from *_posix.cpp.
#include <openssl/bio.h>

#include "net/socket.hpp"

namespace tls {
// OpenSSL talks to the socket through Socket::send/receive rather than its own
// socket BIO: a peer that vanished must give a failed write, not SIGPIPE, and the
// channel needs to know whether the stream ended or broke.
struct SocketLink {
    Socket* socket = nullptr;
    Socket::IoStatus last = Socket::IoStatus::done;
    int error = 0;
    bool streamEnded = false;  // a read found the end of the TCP stream
};

// The BIO method over a SocketLink set with BIO_set_data; null when OpenSSL cannot make one.
const BIO_METHOD* socketLinkMethod();
}
