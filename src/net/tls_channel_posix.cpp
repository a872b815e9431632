#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>

#include "net/ip_address.hpp"
#include "net/socket_set.hpp"
#include "net/tls_channel.hpp"
#include "net/tls_channel_posix.hpp"

namespace {
std::string openSslReason()
{
    unsigned long code = ERR_peek_last_error();
    const char* text = code ? ERR_reason_error_string(code) : nullptr;
    return text ? text : "unknown error";
}

tls::Refusal refusalFor(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
        return tls::Refusal::expired;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
        return tls::Refusal::nameMismatch;
    default:
        // Every other chain fault (unknown issuer, self-signed, bad signature, a CA
        // that may not issue server certificates) leaves no trusted path to a root.
        return tls::Refusal::untrustedRoot;
    }
}

int onNewSession(SSL* ssl, SSL_SESSION* session);
int verifyServer(X509_STORE_CTX* store, void*);
int onCertificateRequest(SSL* ssl, X509**, EVP_PKEY**);
void onInfo(const SSL* ssl, int where, int value);

class OpenSslContext final : public TlsContext {
public:
    explicit OpenSslContext(const TlsSettings& settings) : TlsContext(settings)
    {
        // Owned from here, so a throw below (an unreadable CA file) frees it.
        owner_.reset(SSL_CTX_new(TLS_client_method()));
        ctx_ = owner_.get();
        if (!ctx_) throw TlsError("TLS set-up failed: " + openSslReason());
        SSL_CTX_set_min_proto_version(ctx_, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(ctx_);
        if (!settings.caFile.empty()) loadCaFile(settings.caFile);
        SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_cert_verify_callback(ctx_, verifyServer, nullptr);
        SSL_CTX_set_client_cert_cb(ctx_, onCertificateRequest);
        SSL_CTX_set_info_callback(ctx_, onInfo);
        SSL_CTX_set_mode(ctx_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // Sessions are kept by this context alone (newest wins), not in OpenSSL's cache.
        SSL_CTX_set_session_cache_mode(ctx_, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(ctx_, onNewSession);
        SSL_CTX_set_app_data(ctx_, this);
    }

    ~OpenSslContext() override
    {
        if (newest_) SSL_SESSION_free(newest_);
    }

    SSL_CTX* ctx() const { return ctx_; }

    // A private copy for each connection: a TLS 1.3 ticket may be used only once,
    // and a connection that ends badly marks its session as not resumable.
    SSL_SESSION* sessionToOffer()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return newest_ ? SSL_SESSION_dup(newest_) : nullptr;
    }

    void keep(SSL_SESSION* session)
    {
        if (!SSL_SESSION_is_resumable(session)) return;
        SSL_SESSION* copy = SSL_SESSION_dup(session);
        if (!copy) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (newest_) SSL_SESSION_free(newest_);
        newest_ = copy;
    }

private:
    void loadCaFile(const std::string& path)
    {
        BIO* probe = BIO_new_file(path.c_str(), "r");
        if (!probe) {
            ERR_clear_error();
            throw TlsError("TLS CA file cannot be read: " + path);
        }
        BIO_free(probe);
        if (SSL_CTX_load_verify_locations(ctx_, path.c_str(), nullptr) != 1) {
            ERR_clear_error();
            throw TlsError("TLS CA file holds no usable PEM certificate: " + path);
        }
    }

    struct FreeCtx {
        void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
    };
    std::unique_ptr<SSL_CTX, FreeCtx> owner_;
    SSL_CTX* ctx_ = nullptr;
    std::mutex mutex_;
    SSL_SESSION* newest_ = nullptr;
};

int onNewSession(SSL* ssl, SSL_SESSION* session)
{
    static_cast<OpenSslContext*>(SSL_CTX_get_app_data(SSL_get_SSL_CTX(ssl)))->keep(session);
    return 0;  // OpenSSL keeps its reference; the context holds a copy
}
}

struct TlsChannel::Impl {
    Impl(OpenSslContext& context, Socket& socket) : context(context), socket(socket) { link.socket = &socket; }
    ~Impl()
    {
        if (ssl) SSL_free(ssl);
    }

    // Why the last operation did not succeed, for the handshake's message.
    std::string failureReason(int sslError) const
    {
        if (link.last == Socket::IoStatus::closed) return "connection closed by the server";
        if (link.last == Socket::IoStatus::failed) return Socket::errorText(link.error);
        if (sslError == SSL_ERROR_ZERO_RETURN) return "connection closed by the server";
        return openSslReason();
    }

    // The server turned the handshake down for want of a client certificate: its
    // alert says so, or it asked for one and then ended the handshake (TLS 1.2
    // servers send a generic alert). After the handshake only an alert before any
    // data counts: a TLS 1.3 server sends it in answer to the client's Finished.
    bool certificateRefused(bool handshaking) const
    {
        if (fatalAlert == SSL_AD_CERTIFICATE_REQUIRED) return true;
        if (!certificateAsked) return false;
        if (handshaking)
            return fatalAlert >= 0 || link.last == Socket::IoStatus::closed || link.last == Socket::IoStatus::failed;
        return fatalAlert >= 0 && !delivered;
    }

    // Status for a send or receive that did not succeed and cannot be retried.
    Socket::IoStatus endStatus(int sslError)
    {
        if (sslError == SSL_ERROR_ZERO_RETURN)
            closeNotify = true;
        else if (certificateRefused(false))
            lateFailure = tls::certificateDemanded();
        if (sslError == SSL_ERROR_ZERO_RETURN || link.last == Socket::IoStatus::closed) return Socket::IoStatus::closed;
        return Socket::IoStatus::failed;
    }

    TlsChannel::Ending ending() const
    {
        if (closeNotify) return TlsChannel::Ending::closeNotify;
        return link.streamEnded ? TlsChannel::Ending::endOfStream : TlsChannel::Ending::failed;
    }

    // Waits for what OpenSSL asked for; false when the time ran out.
    bool waitFor(int sslError, tls::Deadline& deadline)
    {
        unsigned events = sslError == SSL_ERROR_WANT_WRITE ? SocketSet::writable : SocketSet::readable;
        return deadline.wait(socket, events);
    }

    static bool retryable(int sslError) { return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE; }

    OpenSslContext& context;
    Socket& socket;
    tls::SocketLink link;
    SSL* ssl = nullptr;
    bool ready = false;  // handshake done, not given up
    // Filled by the certificate check during the handshake.
    std::optional<tls::Refusal> refusal;
    tls::Sha256 digest{};
    bool certificateAsked = false;  // the server sent a CertificateRequest
    int fatalAlert = -1;            // the description of the fatal alert the server sent
    bool delivered = false;         // some application data arrived
    bool closeNotify = false;
    std::string lateFailure;
};

namespace {
int verifyServer(X509_STORE_CTX* store, void*)
{
    auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* impl = static_cast<TlsChannel::Impl*>(SSL_get_app_data(ssl));
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    unsigned int length = 0;
    if (!leaf || X509_digest(leaf, EVP_sha256(), impl->digest.data(), &length) != 1 || length != impl->digest.size()) {
        X509_STORE_CTX_set_error(store, X509_V_ERR_UNSPECIFIED);
        return 0;
    }
    const std::string& pin = impl->context.settings().fingerprint;
    if (!pin.empty()) {
        if (tls::hexFingerprint(impl->digest) == pin) return 1;
        impl->refusal = tls::Refusal::fingerprintMismatch;
        X509_STORE_CTX_set_error(store, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    }
    if (X509_verify_cert(store) == 1) return 1;
    impl->refusal = refusalFor(X509_STORE_CTX_get_error(store));
    return 0;
}

// Noted only: the answer is always an empty certificate list.
int onCertificateRequest(SSL* ssl, X509**, EVP_PKEY**)
{
    static_cast<TlsChannel::Impl*>(SSL_get_app_data(ssl))->certificateAsked = true;
    return 0;
}

void onInfo(const SSL* ssl, int where, int value)
{
    if ((where & SSL_CB_READ_ALERT) != SSL_CB_READ_ALERT || (value >> 8) != SSL3_AL_FATAL) return;
    if (auto* impl = static_cast<TlsChannel::Impl*>(SSL_get_app_data(ssl))) impl->fatalAlert = value & 0xFF;
}
}

std::unique_ptr<TlsContext> TlsContext::create(const TlsSettings& settings)
{
    if (settings.host.empty() && settings.fingerprint.empty())
        throw TlsError("TLS needs the server's host name to check its certificate");
    return std::make_unique<OpenSslContext>(settings);
}

TlsChannel::TlsChannel(TlsContext& context, Socket& socket)
    : impl_(std::make_unique<Impl>(static_cast<OpenSslContext&>(context), socket))
{
    const TlsSettings& settings = context.settings();
    SSL* ssl = SSL_new(impl_->context.ctx());
    BIO* bio = ssl ? BIO_new(tls::socketLinkMethod()) : nullptr;
    if (!bio) {
        if (ssl) SSL_free(ssl);
        throw TlsError(tls::handshakeFailure(openSslReason()));
    }
    impl_->ssl = ssl;
    BIO_set_data(bio, &impl_->link);
    SSL_set_bio(ssl, bio, bio);
    SSL_set_app_data(ssl, impl_.get());
    const bool isAddress = IpAddress::parse(settings.host).has_value();
    if (!isAddress && !settings.host.empty()) SSL_set_tlsext_host_name(ssl, settings.host.c_str());
    if (settings.fingerprint.empty()) {
        if (isAddress) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), settings.host.c_str());
        } else {
            SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            SSL_set1_host(ssl, settings.host.c_str());
        }
    }
    if (SSL_SESSION* session = impl_->context.sessionToOffer()) {
        SSL_set_session(ssl, session);
        SSL_SESSION_free(session);
    }
}

TlsChannel::~TlsChannel() = default;

void TlsChannel::handshake(std::chrono::microseconds limit)
{
    tls::Deadline deadline(limit);
    for (;;) {
        ERR_clear_error();
        int result = SSL_connect(impl_->ssl);
        if (result == 1) break;
        int error = SSL_get_error(impl_->ssl, result);
        if (impl_->refusal) throw TlsError(tls::refusalMessage(*impl_->refusal, impl_->context.settings().host, impl_->digest));
        if (!Impl::retryable(error))
            throw TlsError(impl_->certificateRefused(true) ? tls::certificateDemanded()
                                                           : tls::handshakeFailure(impl_->failureReason(error)));
        if (!impl_->waitFor(error, deadline)) throw TlsError(tls::handshakeFailure("timed out"));
    }
    impl_->ready = true;
}

Socket::IoResult TlsChannel::send(const void* data, std::size_t length, std::chrono::microseconds limit)
{
    if (!impl_->ready) return {Socket::IoStatus::failed, 0};
    if (length == 0) return {Socket::IoStatus::done, 0};
    tls::Deadline deadline(limit);
    for (;;) {
        ERR_clear_error();
        std::size_t written = 0;
        if (SSL_write_ex(impl_->ssl, data, length, &written) == 1) return {Socket::IoStatus::done, written};
        int error = SSL_get_error(impl_->ssl, 0);
        if (!Impl::retryable(error)) return {impl_->endStatus(error), 0};
        if (!impl_->waitFor(error, deadline)) return {Socket::IoStatus::wouldBlock, 0};
    }
}

Socket::IoResult TlsChannel::receive(void* buffer, std::size_t capacity, std::chrono::microseconds limit)
{
    if (!impl_->ready) return {Socket::IoStatus::failed, 0};
    if (capacity == 0) return {Socket::IoStatus::done, 0};
    tls::Deadline deadline(limit);
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        if (SSL_read_ex(impl_->ssl, buffer, capacity, &got) == 1) {
            impl_->delivered = true;
            return {Socket::IoStatus::done, got};
        }
        int error = SSL_get_error(impl_->ssl, 0);
        if (!Impl::retryable(error)) return {impl_->endStatus(error), 0};
        if (!impl_->waitFor(error, deadline)) return {Socket::IoStatus::wouldBlock, 0};
    }
}

bool TlsChannel::hasBuffered() const
{
    // Records are read one at a time (no read-ahead), so only plaintext of the
    // current record can be held back from the socket.
    return impl_->ready && SSL_pending(impl_->ssl) > 0;
}

TlsChannel::Ending TlsChannel::close(std::chrono::microseconds limit) noexcept
{
    if (!impl_->ready) return Ending::failed;
    impl_->ready = false;
    SSL* ssl = impl_->ssl;
    tls::Deadline deadline(limit);
    int shutdown;
    for (;;) {
        ERR_clear_error();
        shutdown = SSL_shutdown(ssl);
        if (shutdown >= 0) break;
        int error = SSL_get_error(ssl, shutdown);
        if (!Impl::retryable(error) || !impl_->waitFor(error, deadline)) break;
    }
    impl_->socket.shutdownSend();
    if (shutdown == 1) {  // the peer's close_notify had already arrived
        impl_->closeNotify = true;
        return Ending::closeNotify;
    }
    if (shutdown < 0) return impl_->ending();
    // Whatever the server still sends (a late session ticket, data) is read and
    // dropped; leaving it unread would make the close a reset.
    char scratch[4096];
    for (;;) {
        ERR_clear_error();
        std::size_t got = 0;
        if (SSL_read_ex(ssl, scratch, sizeof scratch, &got) == 1) {
            if (deadline.passed()) return Ending::failed;
            continue;
        }
        int error = SSL_get_error(ssl, 0);
        if (!Impl::retryable(error)) {
            impl_->endStatus(error);
            return impl_->ending();
        }
        if (!impl_->waitFor(error, deadline)) return Ending::failed;
    }
}

bool TlsChannel::closeNotifyReceived() const { return impl_->closeNotify; }

std::string TlsChannel::lateHandshakeFailure() const { return impl_->lateFailure; }

void TlsChannel::abort() noexcept { impl_->ready = false; }

bool TlsChannel::sessionReused() const { return impl_->ssl && SSL_session_reused(impl_->ssl) == 1; }

std::string TlsChannel::protocolVersion() const
{
    if (!SSL_is_init_finished(impl_->ssl)) return {};
    return SSL_get_version(impl_->ssl);
}
