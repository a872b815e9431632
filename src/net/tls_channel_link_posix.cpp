#include "net/tls_channel_posix.hpp"

namespace {
using tls::SocketLink;

SocketLink& linkOf(BIO* bio) { return *static_cast<SocketLink*>(BIO_get_data(bio)); }

int linkWrite(BIO* bio, const char* data, std::size_t length, std::size_t* written)
{
    BIO_clear_retry_flags(bio);
    SocketLink& link = linkOf(bio);
    Socket::IoResult result = link.socket->send(data, length);
    link.last = result.status;
    if (result.status == Socket::IoStatus::done) {
        *written = result.count;
        return 1;
    }
    if (result.status == Socket::IoStatus::wouldBlock)
        BIO_set_retry_write(bio);
    else
        link.error = Socket::lastError();
    return 0;
}

int linkRead(BIO* bio, char* buffer, std::size_t capacity, std::size_t* got)
{
    BIO_clear_retry_flags(bio);
    SocketLink& link = linkOf(bio);
    Socket::IoResult result = link.socket->receive(buffer, capacity);
    link.last = result.status;
    if (result.status == Socket::IoStatus::done) {
        *got = result.count;
        return 1;
    }
    if (result.status == Socket::IoStatus::wouldBlock)
        BIO_set_retry_read(bio);
    else if (result.status == Socket::IoStatus::failed)
        link.error = Socket::lastError();
    else
        link.streamEnded = true;
    return 0;
}

long linkControl(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }

int linkCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}
}

const BIO_METHOD* tls::socketLinkMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ftpupload socket");
        if (m) {
            BIO_meth_set_write_ex(m, linkWrite);
            BIO_meth_set_read_ex(m, linkRead);
            BIO_meth_set_ctrl(m, linkControl);
            BIO_meth_set_create(m, linkCreate);
        }
        return m;
    }();
    return method;
}
