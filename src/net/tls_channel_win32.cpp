#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <bcrypt.h>
#include <wincrypt.h>
#include <security.h>
#include <schannel.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/system_error.hpp"
#include "common/wide.hpp"
#include "net/socket_set.hpp"
#include "net/tls_certificates_win32.hpp"
#include "net/tls_channel.hpp"

namespace {
// SChannel's own checks are off (SCH_CRED_MANUAL_CRED_VALIDATION): Wine's accept
// anything, and the operator needs the reason and the fingerprint when a
// certificate is refused. The chain and the names are checked here instead.
constexpr DWORD requestFlags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY |
                               ISC_REQ_EXTENDED_ERROR | ISC_REQ_ALLOCATE_MEMORY | ISC_REQ_STREAM |
                               ISC_REQ_MANUAL_CRED_VALIDATION;


std::string statusReason(SECURITY_STATUS status)
{
    switch (status) {
    case SEC_E_ALGORITHM_MISMATCH: return "no protocol version or cipher suite in common with the server";
    case SEC_E_UNSUPPORTED_FUNCTION: return "protocol version not supported";
    case SEC_E_ILLEGAL_MESSAGE: return "the server sent an alert or a malformed message";
    case SEC_E_INVALID_TOKEN: return "the server sent something that is not TLS";
    case SEC_E_MESSAGE_ALTERED:
    case SEC_E_DECRYPT_FAILURE: return "a record failed its integrity check";
    default: break;
    }
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(status));
    std::string text = sys::errorText(static_cast<int>(status));
    return text.empty() ? std::string("SChannel error ") + code : text + " (" + code + ")";
}

std::string ioReason(Socket::IoStatus status)
{
    switch (status) {
    case Socket::IoStatus::wouldBlock: return "timed out";
    case Socket::IoStatus::closed: return "connection closed by the server";
    default: return Socket::lastErrorText();
    }
}



class SChannelContext final : public TlsContext {
public:
    explicit SChannelContext(const TlsSettings& settings) : TlsContext(settings)
    {
        if (!settings.caFile.empty()) roots_ = sch::loadPemRoots(settings.caFile);
        SCHANNEL_CRED cred{};
        cred.dwVersion = SCHANNEL_CRED_VERSION;
        cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
        // TLS 1.3 where the system offers it; some (Wine) refuse credentials that name it.
        SECURITY_STATUS status = SEC_E_INTERNAL_ERROR;
        for (DWORD protocols : {DWORD(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT), DWORD(SP_PROT_TLS1_2_CLIENT)}) {
            cred.grbitEnabledProtocols = protocols;
            TimeStamp expiry;
            status = AcquireCredentialsHandleW(nullptr, const_cast<wchar_t*>(UNISP_NAME_W), SECPKG_CRED_OUTBOUND,
                                               nullptr, &cred, nullptr, nullptr, &credentials_, &expiry);
            if (status == SEC_E_OK) return;
        }
        if (roots_) CertCloseStore(roots_, 0);
        throw TlsError("TLS set-up failed: " + statusReason(status));
    }

    ~SChannelContext() override
    {
        FreeCredentialsHandle(&credentials_);
        if (roots_) CertCloseStore(roots_, 0);
    }

    // Reused by every channel, so SChannel can resume sessions where it supports it.
    CredHandle* credentials() { return &credentials_; }
    HCERTSTORE extraRoots() const { return roots_; }

private:

    CredHandle credentials_{};
    HCERTSTORE roots_ = nullptr;
};


class OutputToken {
public:
    OutputToken()
    {
        buffers_[0] = {0, SECBUFFER_TOKEN, nullptr};
        buffers_[1] = {0, SECBUFFER_ALERT, nullptr};
        desc_ = {SECBUFFER_VERSION, 2, buffers_};
    }
    ~OutputToken()
    {
        for (SecBuffer& buffer : buffers_)
            if (buffer.pvBuffer) FreeContextBuffer(buffer.pvBuffer);
    }
    SecBufferDesc* desc() { return &desc_; }
    const char* data() const { return static_cast<const char*>(buffers_[0].pvBuffer); }
    std::size_t size() const { return buffers_[0].pvBuffer ? buffers_[0].cbBuffer : 0; }

private:
    SecBuffer buffers_[2];
    SecBufferDesc desc_;
};
}

struct TlsChannel::Impl {
    Impl(SChannelContext& context, Socket& socket)
        : context(context), socket(socket), target(sys::toWide(context.settings().host))
    {
    }
    ~Impl()
    {
        if (haveContext) DeleteSecurityContext(&handle);
    }

    // Sends every byte within the deadline.
    Socket::IoStatus sendAll(const char* data, std::size_t length, tls::Deadline& deadline)
    {
        while (length > 0) {
            Socket::IoResult result = socket.send(data, length);
            if (result.status == Socket::IoStatus::done) {
                data += result.count;
                length -= result.count;
            } else if (result.status != Socket::IoStatus::wouldBlock) {
                return result.status;
            } else if (!deadline.wait(socket, SocketSet::writable)) {
                return Socket::IoStatus::wouldBlock;
            }
        }
        return Socket::IoStatus::done;
    }

    // Sends what is left of the last record.
    Socket::IoStatus flush(tls::Deadline& deadline)
    {
        while (pendingAt < pending.size()) {
            Socket::IoResult result = socket.send(pending.data() + pendingAt, pending.size() - pendingAt);
            if (result.status == Socket::IoStatus::done)
                pendingAt += result.count;
            else if (result.status != Socket::IoStatus::wouldBlock)
                return result.status;
            else if (!deadline.wait(socket, SocketSet::writable))
                return Socket::IoStatus::wouldBlock;
        }
        pending.clear();
        pendingAt = 0;
        return Socket::IoStatus::done;
    }

    // Appends received bytes to `in`, waiting within the deadline.
    Socket::IoStatus readMore(tls::Deadline& deadline)
    {
        char buffer[16384];
        for (;;) {
            Socket::IoResult result = socket.receive(buffer, sizeof buffer);
            if (result.status == Socket::IoStatus::done) {
                in.insert(in.end(), buffer, buffer + result.count);
                return Socket::IoStatus::done;
            }
            if (result.status != Socket::IoStatus::wouldBlock) return result.status;
            if (!deadline.wait(socket, SocketSet::readable)) return Socket::IoStatus::wouldBlock;
        }
    }

    // Drives InitializeSecurityContext from the bytes in `in` until it is done: the
    // handshake, and any later renegotiation or post-handshake message. After
    // SEC_I_RENEGOTIATE SChannel must see what is left at once (possibly nothing):
    // a TLS 1.3 ticket needs no further bytes, and waiting for some would stall.
    void negotiate(tls::Deadline& deadline, DWORD flags, bool readFirst)
    {
        bool needData = readFirst && in.empty();
        int credentialAnswers = 0;
        // Once the server has asked for a client certificate (none is ever sent), its
        // turning the handshake down is most likely for want of one.
        auto fail = [this](const std::string& reason, bool byServer) {
            throw TlsError(byServer && certificateAsked ? tls::certificateDemanded()
                                                        : tls::handshakeFailure(reason));
        };
        for (;;) {
            if (needData) {
                Socket::IoStatus status = readMore(deadline);
                if (status != Socket::IoStatus::done) fail(ioReason(status), status != Socket::IoStatus::wouldBlock);
            }
            SecBuffer input[2] = {{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, in.data()},
                                  {0, SECBUFFER_EMPTY, nullptr}};
            SecBufferDesc inputDesc{SECBUFFER_VERSION, 2, input};
            OutputToken output;
            unsigned long attributes = 0;
            SECURITY_STATUS status = InitializeSecurityContextW(context.credentials(), &handle, target.data(), flags, 0, 0,
                                                                &inputDesc, 0, nullptr, output.desc(), &attributes, nullptr);
            if (status == SEC_E_INCOMPLETE_MESSAGE) {
                needData = true;
                continue;
            }
            // A token goes out even with an error: it is then the alert that tells the server.
            if (output.size() > 0) {
                Socket::IoStatus sent = sendAll(output.data(), output.size(), deadline);
                if (sent != Socket::IoStatus::done && !FAILED(status))
                    fail(ioReason(sent), sent != Socket::IoStatus::wouldBlock);
            }
            if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
                // The server asked for a client certificate: go on without one, same input.
                certificateAsked = true;
                flags |= ISC_REQ_USE_SUPPLIED_CREDS;
                if (++credentialAnswers > 1) throw TlsError(tls::certificateDemanded());
                needData = false;
                continue;
            }
            if (FAILED(status)) fail(statusReason(status), true);
            if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0)
                in.erase(in.begin(), in.end() - static_cast<std::ptrdiff_t>(input[1].cbBuffer));
            else
                in.clear();
            if (status == SEC_E_OK) return;
            if (status != SEC_I_CONTINUE_NEEDED) throw TlsError(tls::handshakeFailure(statusReason(status)));
            needData = in.empty();
        }
    }

    // Plaintext into `buffer`: decrypts records from `in`, reading more as needed.
    Socket::IoResult receiveInto(char* buffer, std::size_t capacity, tls::Deadline& deadline)
    {
        for (;;) {
            if (plainAt < plain.size()) {
                std::size_t count = std::min(capacity, plain.size() - plainAt);
                std::memcpy(buffer, plain.data() + plainAt, count);
                plainAt += count;
                delivered = true;
                return {Socket::IoStatus::done, count};
            }
            plain.clear();
            plainAt = 0;
            if (closeNotify || streamEnded) return {Socket::IoStatus::closed, 0};
            SECURITY_STATUS status = SEC_E_INCOMPLETE_MESSAGE;
            if (!in.empty()) {
                SecBuffer buffers[4] = {{static_cast<unsigned long>(in.size()), SECBUFFER_DATA, in.data()},
                                        {0, SECBUFFER_EMPTY, nullptr},
                                        {0, SECBUFFER_EMPTY, nullptr},
                                        {0, SECBUFFER_EMPTY, nullptr}};
                SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
                // Wine's SChannel takes a close_notify for an empty record (SEC_E_OK) where
                // Windows says SEC_I_CONTEXT_EXPIRED; on TLS 1.2 the record type shows it.
                const bool alertRecord = static_cast<unsigned char>(in[0]) == 0x15;
                const std::size_t plainBefore = plain.size();
                status = DecryptMessage(&handle, &desc, 0, nullptr);
                if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE || status == SEC_I_CONTEXT_EXPIRED) {
                    // Both point into `in`: copy before `in` changes.
                    std::vector<char> extra;
                    for (const SecBuffer& b : buffers) {
                        const char* bytes = static_cast<const char*>(b.pvBuffer);
                        if (b.BufferType == SECBUFFER_DATA && b.cbBuffer > 0) plain.insert(plain.end(), bytes, bytes + b.cbBuffer);
                        if (b.BufferType == SECBUFFER_EXTRA && b.cbBuffer > 0) extra.assign(bytes, bytes + b.cbBuffer);
                    }
                    in = std::move(extra);
                    if (status == SEC_E_OK && alertRecord && plain.size() == plainBefore) closeNotify = true;
                }
            }
            if (status == SEC_E_OK) continue;
            if (status == SEC_I_CONTEXT_EXPIRED) {
                closeNotify = true;
                continue;
            }
            if (status == SEC_I_RENEGOTIATE) {
                // TLS 1.3 session tickets and key updates arrive this way on Windows.
                try {
                    negotiate(deadline, requestFlags, false);
                } catch (const TlsError& error) {
                    if (!delivered && error.message() == tls::certificateDemanded())
                        lateFailure = error.message();
                    return {Socket::IoStatus::failed, 0};
                }
                continue;
            }
            if (status != SEC_E_INCOMPLETE_MESSAGE) {
                // A TLS 1.3 server that wants a certificate says so after the handshake.
                if (certificateAsked && !delivered) lateFailure = tls::certificateDemanded();
                return {Socket::IoStatus::failed, 0};
            }
            Socket::IoStatus read = readMore(deadline);
            if (read == Socket::IoStatus::closed) streamEnded = true;
            else if (read != Socket::IoStatus::done) return {read, 0};
        }
    }

    void verifyPeer()
    {
        sch::CertificateRef remote;
        SECURITY_STATUS status = QueryContextAttributesW(&handle, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &remote.cert);
        if (status != SEC_E_OK || !remote.cert) throw TlsError(tls::handshakeFailure("the server sent no certificate"));
        tls::Sha256 digest = sch::sha256(remote.cert->pbCertEncoded, remote.cert->cbCertEncoded);
        const TlsSettings& settings = context.settings();
        std::optional<tls::Refusal> refusal;
        if (!settings.fingerprint.empty()) {
            if (tls::hexFingerprint(digest) != settings.fingerprint) refusal = tls::Refusal::fingerprintMismatch;
        } else {
            refusal = sch::checkCertificate(remote.cert, context.extraRoots(), settings.host);
        }
        if (refusal) throw TlsError(tls::refusalMessage(*refusal, settings.host, digest));
    }

    SChannelContext& context;
    Socket& socket;
    std::wstring target;
    CtxtHandle handle{};
    bool haveContext = false;
    bool ready = false;
    bool closeNotify = false;
    bool streamEnded = false;       // the TCP stream ended without close_notify
    bool certificateAsked = false;  // the server sent a CertificateRequest
    bool delivered = false;         // some application data arrived
    std::string lateFailure;
    bool reused = false;
    std::string version;
    SecPkgContext_StreamSizes sizes{};
    std::vector<char> in;       // received, not yet decrypted
    std::vector<char> plain;    // decrypted, not yet delivered from plainAt on
    std::size_t plainAt = 0;
    std::vector<char> pending;  // encrypted record not yet fully sent, from pendingAt on
    std::size_t pendingAt = 0;
};

std::unique_ptr<TlsContext> TlsContext::create(const TlsSettings& settings)
{
    if (settings.host.empty() && settings.fingerprint.empty())
        throw TlsError("TLS needs the server's host name to check its certificate");
    return std::make_unique<SChannelContext>(settings);
}

TlsChannel::TlsChannel(TlsContext& context, Socket& socket)
    : impl_(std::make_unique<Impl>(static_cast<SChannelContext&>(context), socket))
{
}

TlsChannel::~TlsChannel() = default;

void TlsChannel::handshake(std::chrono::microseconds limit)
{
    Impl& impl = *impl_;
    tls::Deadline deadline(limit);
    OutputToken hello;
    unsigned long attributes = 0;
    SECURITY_STATUS status = InitializeSecurityContextW(impl.context.credentials(), nullptr, impl.target.data(), requestFlags,
                                                        0, 0, nullptr, 0, &impl.handle, hello.desc(), &attributes, nullptr);
    if (status != SEC_I_CONTINUE_NEEDED) throw TlsError(tls::handshakeFailure(statusReason(status)));
    impl.haveContext = true;
    Socket::IoStatus sent = impl.sendAll(hello.data(), hello.size(), deadline);
    if (sent != Socket::IoStatus::done) throw TlsError(tls::handshakeFailure(ioReason(sent)));
    impl.negotiate(deadline, requestFlags, true);
    impl.verifyPeer();
    if (QueryContextAttributesW(&impl.handle, SECPKG_ATTR_STREAM_SIZES, &impl.sizes) != SEC_E_OK)
        throw TlsError(tls::handshakeFailure("no stream sizes"));
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&impl.handle, SECPKG_ATTR_CONNECTION_INFO, &info) == SEC_E_OK) {
        if (info.dwProtocol & SP_PROT_TLS1_3_CLIENT) impl.version = "TLSv1.3";
        else if (info.dwProtocol & SP_PROT_TLS1_2_CLIENT) impl.version = "TLSv1.2";
        else impl.version = "TLS (protocol " + std::to_string(info.dwProtocol) + ")";
    }
    SecPkgContext_SessionInfo session{};
    if (QueryContextAttributesW(&impl.handle, SECPKG_ATTR_SESSION_INFO, &session) == SEC_E_OK)
        impl.reused = (session.dwFlags & SSL_SESSION_RECONNECT) != 0;
    impl.ready = true;
}

Socket::IoResult TlsChannel::send(const void* data, std::size_t length, std::chrono::microseconds limit)
{
    Impl& impl = *impl_;
    if (!impl.ready) return {Socket::IoStatus::failed, 0};
    tls::Deadline deadline(limit);
    Socket::IoStatus flushed = impl.flush(deadline);
    if (flushed != Socket::IoStatus::done) return {flushed, 0};
    if (length == 0) return {Socket::IoStatus::done, 0};
    // Nothing is committed to a record unless the socket can take some of it now.
    if (!deadline.wait(impl.socket, SocketSet::writable)) return {Socket::IoStatus::wouldBlock, 0};
    const std::size_t header = impl.sizes.cbHeader, trailer = impl.sizes.cbTrailer;
    const std::size_t count = std::min<std::size_t>(length, impl.sizes.cbMaximumMessage);
    impl.pending.assign(header + count + trailer, 0);
    std::memcpy(impl.pending.data() + header, data, count);
    SecBuffer buffers[4] = {{static_cast<unsigned long>(header), SECBUFFER_STREAM_HEADER, impl.pending.data()},
                            {static_cast<unsigned long>(count), SECBUFFER_DATA, impl.pending.data() + header},
                            {static_cast<unsigned long>(trailer), SECBUFFER_STREAM_TRAILER, impl.pending.data() + header + count},
                            {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc desc{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&impl.handle, 0, &desc, 0) != SEC_E_OK) {
        impl.pending.clear();
        return {Socket::IoStatus::failed, 0};
    }
    // The trailer may be shorter than the maximum the sizes announced.
    impl.pending.resize(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    impl.pendingAt = 0;
    // The record is committed: what does not go out now goes out first next time.
    Socket::IoStatus status = impl.flush(deadline);
    if (status == Socket::IoStatus::wouldBlock) status = Socket::IoStatus::done;
    return {status, status == Socket::IoStatus::done ? count : 0};
}

Socket::IoResult TlsChannel::receive(void* buffer, std::size_t capacity, std::chrono::microseconds limit)
{
    if (!impl_->ready) return {Socket::IoStatus::failed, 0};
    if (capacity == 0) return {Socket::IoStatus::done, 0};
    tls::Deadline deadline(limit);
    return impl_->receiveInto(static_cast<char*>(buffer), capacity, deadline);
}

bool TlsChannel::hasBuffered() const
{
    const Impl& impl = *impl_;
    if (!impl.ready) return false;
    if (impl.plainAt < impl.plain.size()) return true;
    // A whole record already read from the socket.
    if (impl.in.size() < 5) return false;
    std::size_t length = (static_cast<unsigned char>(impl.in[3]) << 8) | static_cast<unsigned char>(impl.in[4]);
    return impl.in.size() >= 5 + length;
}

TlsChannel::Ending TlsChannel::close(std::chrono::microseconds limit) noexcept
{
    Impl& impl = *impl_;
    if (!impl.ready) return Ending::failed;
    impl.ready = false;
    // What the peer's side did, as far as it was seen.
    auto seen = [&impl] {
        if (impl.closeNotify) return Ending::closeNotify;
        return impl.streamEnded ? Ending::endOfStream : Ending::failed;
    };
    try {
        tls::Deadline deadline(limit);
        if (impl.flush(deadline) != Socket::IoStatus::done) return seen();
        DWORD type = SCHANNEL_SHUTDOWN;
        SecBuffer control{sizeof type, SECBUFFER_TOKEN, &type};
        SecBufferDesc controlDesc{SECBUFFER_VERSION, 1, &control};
        if (ApplyControlToken(&impl.handle, &controlDesc) != SEC_E_OK) return seen();
        OutputToken notify;
        unsigned long attributes = 0;
        SECURITY_STATUS status = InitializeSecurityContextW(impl.context.credentials(), &impl.handle, impl.target.data(),
                                                            requestFlags, 0, 0, nullptr, 0, nullptr, notify.desc(),
                                                            &attributes, nullptr);
        bool sent = !FAILED(status) && notify.size() > 0 &&
                    impl.sendAll(notify.data(), notify.size(), deadline) == Socket::IoStatus::done;
        impl.socket.shutdownSend();
        if (!sent) return seen();
        // Whatever the server still sends is read and dropped; leaving it unread
        // would make the close a reset.
        char scratch[4096];
        for (;;) {
            Socket::IoResult result = impl.receiveInto(scratch, sizeof scratch, deadline);
            if (result.status == Socket::IoStatus::closed) return seen();
            if (result.status != Socket::IoStatus::done || deadline.passed()) return Ending::failed;
        }
    } catch (...) {
        return Ending::failed;
    }
}

bool TlsChannel::closeNotifyReceived() const { return impl_->closeNotify; }

std::string TlsChannel::lateHandshakeFailure() const { return impl_->lateFailure; }

void TlsChannel::abort() noexcept { impl_->ready = false; }

bool TlsChannel::sessionReused() const { return impl_->reused; }

std::string TlsChannel::protocolVersion() const { return impl_->version; }
