// The TLS channel against an in-process OpenSSL server on 127.0.0.1, with
// certificates made at run time.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "net/tls_channel.hpp"

// Readable failures.
void PrintTo(TlsChannel::Ending ending, std::ostream* out)
{
    const char* names[] = {"closeNotify", "endOfStream", "failed"};
    *out << names[static_cast<int>(ending)];
}

namespace {
using namespace std::chrono_literals;

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCert {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, FreeKey>;
using Cert = std::unique_ptr<X509, FreeCert>;

struct Identity {
    Key key;
    Cert cert;
};

struct Validity {
    long fromSeconds = -3600;
    long toSeconds = 86400;
};

// A certificate for `key`, signed by `issuer` (self-signed without one).
Identity makeIdentity(const char* commonName, const char* altNames, bool authority, const Identity* issuer,
                      Validity validity = {})
{
    static long serial = 1;
    Identity made{Key(EVP_EC_gen("P-256")), Cert(X509_new())};
    X509* cert = made.cert.get();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert), validity.fromSeconds);
    X509_gmtime_adj(X509_getm_notAfter(cert), validity.toSeconds);
    X509_set_pubkey(cert, made.key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer->cert.get() : cert;
    X509_set_issuer_name(cert, X509_get_subject_name(signer));
    X509V3_CTX v3;
    X509V3_set_ctx_nodb(&v3);
    X509V3_set_ctx(&v3, signer, cert, nullptr, nullptr, 0);
    auto add = [&](int nid, const char* value) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &v3, nid, value);
        X509_add_ext(cert, extension, -1);
        X509_EXTENSION_free(extension);
    };
    add(NID_basic_constraints, authority ? "critical,CA:TRUE" : "critical,CA:FALSE");
    add(NID_key_usage, authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    add(NID_subject_key_identifier, "hash");
    if (!authority) add(NID_ext_key_usage, "serverAuth");
    if (altNames) add(NID_subject_alt_name, altNames);
    X509_sign(cert, issuer ? issuer->key.get() : made.key.get(), EVP_sha256());
    return made;
}

std::string displayedFingerprint(const Identity& identity)
{
    unsigned char digest[32];
    unsigned int length = 0;
    X509_digest(identity.cert.get(), EVP_sha256(), digest, &length);
    std::string text;
    char part[4];
    for (unsigned i = 0; i < length; ++i) {
        std::snprintf(part, sizeof part, i ? ":%02X" : "%02X", digest[i]);
        text += part;
    }
    return text;
}

std::string refusal(const std::string& reason, const Identity& identity)
{
    return "TLS certificate refused: " + reason + "; its SHA-256 fingerprint is " + displayedFingerprint(identity) +
           " (check it, then pass it with --tls-fingerprint)";
}

// Everything a test needs, made once: key generation dominates the run time.
struct Pki {
    Identity ca = makeIdentity("Test CA", nullptr, true, nullptr);
    Identity leaf = makeIdentity("127.0.0.1", "DNS:localhost,IP:127.0.0.1", false, &ca);
    Identity wrongName = makeIdentity("wrong.example", "DNS:wrong.example,IP:10.9.8.7", false, &ca);
    Identity expired = makeIdentity("127.0.0.1", "DNS:localhost,IP:127.0.0.1", false, &ca, {-7200, -3600});
    Identity selfSigned = makeIdentity("127.0.0.1", "DNS:localhost,IP:127.0.0.1", false, nullptr);
    std::string caFile;

    Pki()
    {
        caFile = (std::filesystem::temp_directory_path() / ("tls_channel_test_ca_" + std::to_string(getpid()) + ".pem")).string();
        FILE* file = std::fopen(caFile.c_str(), "w");
        PEM_write_X509(file, ca.cert.get());
        std::fclose(file);
    }
    ~Pki() { std::remove(caFile.c_str()); }
};

// What a server does after the handshake.
enum class Conduct {
    echo,                // echoes what arrives until the client's close_notify, which it answers
    holdOn,              // never reads and never closes
    sayThenCloseNotify,  // sends a line, then its close_notify, and waits for the client's
    sayThenEnd,          // sends a line, then ends the TCP stream without close_notify
    sayThenReset,        // sends a line, then resets the connection
};

// Accepts connections one after another, each with the handshake, then `conduct`.
// `verify` is the server's SSL_VERIFY_* mode for client certificates.
class TlsServer {
public:
    TlsServer(const Identity& identity, int version, Conduct conduct = Conduct::echo, int verify = SSL_VERIFY_NONE)
        : ctx_(SSL_CTX_new(TLS_server_method())), conduct_(conduct)
    {
        SSL_CTX_use_certificate(ctx_, identity.cert.get());
        SSL_CTX_use_PrivateKey(ctx_, identity.key.get());
        SSL_CTX_set_min_proto_version(ctx_, version);
        SSL_CTX_set_max_proto_version(ctx_, version);
        SSL_CTX_set_verify(ctx_, verify, [](int, X509_STORE_CTX*) { return 1; });
        listener_ = Socket::create();
        listener_.bindAndListen(IpAddress::loopback(0), 8);
        thread_ = std::thread([this] { run(); });
    }
    ~TlsServer()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        stopped_.notify_all();
        listener_.shutdownBoth();  // wakes accept()
        thread_.join();
        SSL_CTX_free(ctx_);
    }
    std::uint16_t port() const { return listener_.localAddress().port(); }

private:
    void run()
    {
        for (;;) {
            Socket connection;
            try {
                connection = listener_.accept();
            } catch (const SocketException&) {
                return;
            }
            // A client that misbehaves must fail its test, not hang the suite.
            timeval tenSeconds{10, 0};
            setsockopt(static_cast<int>(connection.handle()), SOL_SOCKET, SO_RCVTIMEO, &tenSeconds, sizeof tenSeconds);
            setsockopt(static_cast<int>(connection.handle()), SOL_SOCKET, SO_SNDTIMEO, &tenSeconds, sizeof tenSeconds);
            SSL* ssl = SSL_new(ctx_);
            SSL_set_fd(ssl, static_cast<int>(connection.handle()));
            if (SSL_accept(ssl) == 1) serve(ssl);
            SSL_free(ssl);
            ERR_clear_error();
        }
    }

    void serve(SSL* ssl)
    {
        char buffer[16384];
        std::size_t got = 0, written = 0;
        const int fd = SSL_get_fd(ssl);
        if (conduct_ == Conduct::holdOn) {
            std::unique_lock<std::mutex> lock(mutex_);
            stopped_.wait(lock, [this] { return stop_; });
            return;
        }
        if (conduct_ != Conduct::echo && SSL_write_ex(ssl, "listing\r\n", 9, &written) != 1) return;
        if (conduct_ == Conduct::sayThenCloseNotify) {
            if (SSL_shutdown(ssl) == 0) SSL_shutdown(ssl);
            return;
        }
        if (conduct_ == Conduct::sayThenEnd) {
            shutdown(fd, SHUT_WR);
            while (recv(fd, buffer, sizeof buffer, 0) > 0) {
            }
            return;
        }
        if (conduct_ == Conduct::sayThenReset) {
            linger abortive{1, 0};
            setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
            return;
        }
        while (SSL_read_ex(ssl, buffer, sizeof buffer, &got) == 1)
            if (SSL_write_ex(ssl, buffer, got, &written) != 1) return;
        if (SSL_get_error(ssl, 0) == SSL_ERROR_ZERO_RETURN) SSL_shutdown(ssl);
    }

    SSL_CTX* ctx_;
    Conduct conduct_;
    Socket listener_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable stopped_;
    bool stop_ = false;
};

class TlsChannelTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        std::signal(SIGPIPE, SIG_IGN);  // the server writes with plain write()
        pki = new Pki;
    }
    static void TearDownTestSuite()
    {
        delete pki;
        pki = nullptr;
    }

    static std::unique_ptr<TlsContext> context(const std::string& host, const std::string& caFile,
                                               const std::string& fingerprint = {})
    {
        return TlsContext::create(TlsSettings{host, caFile, fingerprint});
    }

    static Socket connectTo(const TlsServer& server)
    {
        Socket socket = Socket::create();
        socket.connectWithin(IpAddress::loopback(server.port()), 5s);
        return socket;
    }

    // The handshake's failure message, or "" when it succeeded.
    static std::string handshakeResult(TlsContext& context, const TlsServer& server)
    {
        Socket socket = connectTo(server);
        TlsChannel channel(context, socket);
        try {
            channel.handshake(5s);
        } catch (const TlsError& error) {
            return error.message();
        }
        channel.close(5s);
        return "";
    }

    // Sends `text` and reads it back.
    static std::string echo(TlsChannel& channel, const std::string& text)
    {
        for (std::size_t sent = 0; sent < text.size();) {
            Socket::IoResult result = channel.send(text.data() + sent, text.size() - sent, 5s);
            if (result.status != Socket::IoStatus::done) return "send failed";
            sent += result.count;
        }
        std::string back;
        char buffer[4096];
        while (back.size() < text.size()) {
            Socket::IoResult result = channel.receive(buffer, sizeof buffer, 5s);
            if (result.status != Socket::IoStatus::done) return back + " (receive ended)";
            back.append(buffer, result.count);
        }
        return back;
    }

    static Pki* pki;
};
Pki* TlsChannelTest::pki = nullptr;

TEST_F(TlsChannelTest, EchoesBothWaysAndResumesTheSessionOnBothVersions)
{
    for (auto [version, name] : {std::pair{TLS1_2_VERSION, "TLSv1.2"}, std::pair{TLS1_3_VERSION, "TLSv1.3"}}) {
        SCOPED_TRACE(name);
        TlsServer server(pki->leaf, version);
        auto shared = context("127.0.0.1", pki->caFile);
        std::string payload(40000, '\0');
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
        {
            Socket socket = connectTo(server);
            TlsChannel control(*shared, socket);
            control.handshake(5s);
            EXPECT_EQ(control.protocolVersion(), name);
            EXPECT_FALSE(control.sessionReused());
            // TLS 1.3 tickets come after the handshake: the echo reads them.
            EXPECT_EQ(echo(control, payload), payload);
            EXPECT_FALSE(control.hasBuffered());
            EXPECT_EQ(control.close(5s), TlsChannel::Ending::closeNotify);
        }
        // Twice: a TLS 1.3 ticket is used up by one resumption.
        for (int connection = 0; connection < 2; ++connection) {
            Socket socket = connectTo(server);
            TlsChannel data(*shared, socket);
            data.handshake(5s);
            EXPECT_TRUE(data.sessionReused());
            EXPECT_EQ(echo(data, "after resumption"), "after resumption");
            EXPECT_EQ(data.close(5s), TlsChannel::Ending::closeNotify);
        }
    }
}

TEST_F(TlsChannelTest, HeldBytesAreReportedAsBuffered)
{
    TlsServer server(pki->leaf, TLS1_3_VERSION);
    auto shared = context("localhost", pki->caFile);
    Socket socket = connectTo(server);
    TlsChannel channel(*shared, socket);
    channel.handshake(5s);
    ASSERT_EQ(channel.send("0123456789", 10, 5s).count, 10u);
    char small[4];
    Socket::IoResult first = channel.receive(small, sizeof small, 5s);
    ASSERT_EQ(first.status, Socket::IoStatus::done);
    EXPECT_TRUE(channel.hasBuffered());
    channel.abort();
    EXPECT_EQ(channel.send("x", 1, 5s).status, Socket::IoStatus::failed);
}

TEST_F(TlsChannelTest, RefusalsSayWhyAndShowTheFingerprint)
{
    {
        TlsServer server(pki->leaf, TLS1_3_VERSION);
        EXPECT_EQ(handshakeResult(*context("127.0.0.1", pki->caFile), server), "");
        EXPECT_EQ(handshakeResult(*context("localhost", pki->caFile), server), "");
        // Without the CA file the same chain leads nowhere.
        EXPECT_EQ(handshakeResult(*context("127.0.0.1", ""), server), refusal("untrusted root", pki->leaf));
        EXPECT_EQ(handshakeResult(*context("127.0.0.2", pki->caFile), server),
                  refusal("name mismatch (certificate is not for 127.0.0.2)", pki->leaf));
    }
    {
        TlsServer server(pki->wrongName, TLS1_2_VERSION);
        EXPECT_EQ(handshakeResult(*context("127.0.0.1", pki->caFile), server),
                  refusal("name mismatch (certificate is not for 127.0.0.1)", pki->wrongName));
        EXPECT_EQ(handshakeResult(*context("localhost", pki->caFile), server),
                  refusal("name mismatch (certificate is not for localhost)", pki->wrongName));
    }
    {
        TlsServer server(pki->expired, TLS1_3_VERSION);
        EXPECT_EQ(handshakeResult(*context("127.0.0.1", pki->caFile), server), refusal("expired", pki->expired));
    }
    {
        TlsServer server(pki->selfSigned, TLS1_3_VERSION);
        EXPECT_EQ(handshakeResult(*context("127.0.0.1", pki->caFile), server), refusal("untrusted root", pki->selfSigned));
    }
}

TEST_F(TlsChannelTest, PinnedFingerprintReplacesChainAndNameChecks)
{
    std::string pin = *normaliseFingerprint(displayedFingerprint(pki->selfSigned));
    std::string otherPin = *normaliseFingerprint(displayedFingerprint(pki->leaf));
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        TlsServer server(pki->selfSigned, version);
        EXPECT_EQ(handshakeResult(*context("somewhere.else", "", pin), server), "");
        EXPECT_EQ(handshakeResult(*context("127.0.0.1", pki->caFile, otherPin), server),
                  refusal("fingerprint mismatch", pki->selfSigned));
    }
}

TEST_F(TlsChannelTest, CloseIsBoundedAndHandshakeTimesOut)
{
    TlsServer server(pki->leaf, TLS1_3_VERSION, Conduct::holdOn);
    auto shared = context("127.0.0.1", pki->caFile);
    Socket socket = connectTo(server);
    TlsChannel channel(*shared, socket);
    channel.handshake(5s);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(channel.close(300ms), TlsChannel::Ending::failed);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 290ms);
    EXPECT_LT(took, 3s);

    // A listener nobody accepts on completes the connection but never answers.
    Socket silent = Socket::create();
    silent.bindAndListen(IpAddress::loopback(0), 1);
    Socket client = Socket::create();
    client.connectWithin(IpAddress::loopback(silent.localAddress().port()), 5s);
    TlsChannel waiting(*shared, client);
    try {
        waiting.handshake(200ms);
        ADD_FAILURE() << "handshake succeeded";
    } catch (const TlsError& error) {
        EXPECT_EQ(error.message(), "TLS handshake failed: timed out");
    }
}

// What counts as a complete upload or listing hangs on telling a close_notify
// from a stream that merely stopped.
TEST_F(TlsChannelTest, EndingsTellCloseNotifyFromABareEndOrReset)
{
    using Ending = TlsChannel::Ending;
    const struct {
        Conduct conduct;
        Ending ending;
    } cases[] = {{Conduct::sayThenCloseNotify, Ending::closeNotify},
                 {Conduct::sayThenEnd, Ending::endOfStream},
                 {Conduct::sayThenReset, Ending::failed}};
    auto shared = context("127.0.0.1", pki->caFile);
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION})
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "version " << version << ", conduct " << int(c.conduct));
            TlsServer server(pki->leaf, version, c.conduct);
            {
                Socket socket = connectTo(server);
                TlsChannel channel(*shared, socket);
                channel.handshake(5s);
                EXPECT_EQ(channel.close(5s), c.ending);
                EXPECT_EQ(channel.closeNotifyReceived(), c.ending == Ending::closeNotify);
            }
            if (c.conduct == Conduct::sayThenReset) continue;  // a reset may drop the line
            // A listing reader: the line, then the end.
            Socket socket = connectTo(server);
            TlsChannel channel(*shared, socket);
            channel.handshake(5s);
            std::string got;
            char buffer[64];
            Socket::IoResult result;
            while ((result = channel.receive(buffer, sizeof buffer, 5s)).status == Socket::IoStatus::done)
                got.append(buffer, result.count);
            EXPECT_EQ(got, "listing\r\n");
            EXPECT_EQ(result.status, Socket::IoStatus::closed);
            EXPECT_EQ(channel.closeNotifyReceived(), c.ending == Ending::closeNotify);
            EXPECT_EQ(channel.close(5s), c.ending);
        }
}

TEST_F(TlsChannelTest, ServerThatInsistsOnAClientCertificateIsNamedAsSuch)
{
    const std::string demanded = "the server asks for a client certificate, which this program does not send";
    auto shared = context("127.0.0.1", pki->caFile);
    for (int version : {TLS1_2_VERSION, TLS1_3_VERSION}) {
        SCOPED_TRACE(version);
        {
            TlsServer server(pki->leaf, version, Conduct::echo, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT);
            Socket socket = connectTo(server);
            TlsChannel channel(*shared, socket);
            std::string message;
            try {
                channel.handshake(5s);
                // TLS 1.3: the server decides after the client's Finished.
                char byte;
                EXPECT_EQ(channel.receive(&byte, 1, 5s).status, Socket::IoStatus::failed);
                message = channel.lateHandshakeFailure();
            } catch (const TlsError& error) {
                message = error.message();
            }
            EXPECT_EQ(message, "TLS handshake failed: " + demanded);
        }
        // Asking without insisting is no failure.
        TlsServer server(pki->leaf, version, Conduct::echo, SSL_VERIFY_PEER);
        Socket socket = connectTo(server);
        TlsChannel channel(*shared, socket);
        channel.handshake(5s);
        EXPECT_EQ(echo(channel, "fine"), "fine");
        EXPECT_EQ(channel.lateHandshakeFailure(), "");
    }
}

TEST(TlsSettingsTest, FingerprintsCaFilesAndNames)
{
    const std::string hex(64, 'a');
    EXPECT_EQ(normaliseFingerprint(hex), hex);
    std::string colons;
    for (int i = 0; i < 32; ++i) colons += i ? ":AA" : "Aa";
    EXPECT_EQ(normaliseFingerprint(colons), hex);
    EXPECT_EQ(normaliseFingerprint(hex.substr(1)), std::nullopt);
    EXPECT_EQ(normaliseFingerprint(hex + "a"), std::nullopt);
    EXPECT_EQ(normaliseFingerprint(hex.substr(1) + "g"), std::nullopt);
    EXPECT_EQ(normaliseFingerprint(""), std::nullopt);

    try {
        TlsContext::create(TlsSettings{"localhost", "/nonexistent/roots.pem", ""});
        ADD_FAILURE() << "no error";
    } catch (const TlsError& error) {
        EXPECT_NE(error.message().find("/nonexistent/roots.pem"), std::string::npos) << error.message();
    }

    // The name rules the Windows channel relies on.
    tls::CertificateNames names{
        {"*.example.com", "Exact.Org"}, {{127, 0, 0, 1}, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}, "ignored.net"};
    EXPECT_TRUE(tls::hostMatches(names, "www.example.com"));
    EXPECT_TRUE(tls::hostMatches(names, "exact.org"));
    EXPECT_TRUE(tls::hostMatches(names, "127.0.0.1"));
    EXPECT_FALSE(tls::hostMatches(names, "example.com"));
    EXPECT_FALSE(tls::hostMatches(names, "a.b.example.com"));
    EXPECT_FALSE(tls::hostMatches(names, "ignored.net"));
    EXPECT_FALSE(tls::hostMatches(names, "127.0.0.2"));
    EXPECT_TRUE(tls::hostMatches(names, "0::1"));
    EXPECT_FALSE(tls::hostMatches(names, "::2"));
    EXPECT_FALSE(tls::hostMatches(tls::CertificateNames{{"*.com"}, {}, ""}, "example.com"));
    EXPECT_TRUE(tls::hostMatches(tls::CertificateNames{{}, {}, "ftp.example.com"}, "FTP.example.com"));
    EXPECT_FALSE(tls::hostMatches(tls::CertificateNames{{}, {}, "127.0.0.1"}, "127.0.0.1"));
}
}
