#include "metrics/tls_context.h"

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <csignal>
#include <ctime>
#include <iostream>

namespace kvx {

namespace {

using Clock = std::chrono::steady_clock;
using Io = net::TlsSession::Io;

class OpenSslSession final : public net::TlsSession {
public:
    explicit OpenSslSession(SSL* ssl) : ssl_(ssl) {}
    ~OpenSslSession() override { ::SSL_free(ssl_); }

    Io handshake() override { return outcome(::SSL_accept(ssl_)); }
    Io read(char* data, std::size_t size, std::size_t& got) override {
        got = 0;
        const Io io = outcome(::SSL_read_ex(ssl_, data, size, &got));
        return io == Io::Done && got == 0 ? Io::Closed : io;
    }
    Io write(const char* data, std::size_t size, std::size_t& put) override {
        put = 0;
        return outcome(::SSL_write_ex(ssl_, data, size, &put));
    }
    void close() override {
        ::SSL_shutdown(ssl_);
        ::ERR_clear_error();
    }
    bool pending() const override { return ::SSL_pending(ssl_) > 0; }

private:
    Io outcome(int result) {
        if (result == 1) return Io::Done;
        const int error = ::SSL_get_error(ssl_, result);
        ::ERR_clear_error();  // the queue is per thread; leave nothing behind
        if (error == SSL_ERROR_WANT_READ) return Io::WantRead;
        if (error == SSL_ERROR_WANT_WRITE) return Io::WantWrite;
        return Io::Closed;
    }

    SSL* ssl_;
};

struct FileStamp {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec changed{};
    bool operator==(const FileStamp& o) const {
        return device == o.device && inode == o.inode && size == o.size && changed.tv_sec == o.changed.tv_sec &&
               changed.tv_nsec == o.changed.tv_nsec;
    }
};

FileStamp stampOf(const std::string& path) {
    FileStamp s;
    struct stat st{};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) s = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return s;
}

int versionOf(const std::string& name) {
    if (name == "TLS10") return TLS1_VERSION;
    if (name == "TLS11") return TLS1_1_VERSION;
    if (name == "TLS13") return TLS1_3_VERSION;
    return TLS1_2_VERSION;
}

// Takes any certificate a client shows; for the types that ask for one
// without verifying it.
int anyCertificate(int, X509_STORE_CTX*) { return 1; }

SSL_CTX* contextOf(const WebConfig& web, std::string& error) {
    SSL_CTX* context = ::SSL_CTX_new(::TLS_server_method());
    bool usable = context && ::SSL_CTX_set_min_proto_version(context, versionOf(web.minVersion)) == 1 &&
                  ::SSL_CTX_use_certificate_chain_file(context, web.certFile.c_str()) == 1 &&
                  ::SSL_CTX_use_PrivateKey_file(context, web.keyFile.c_str(), SSL_FILETYPE_PEM) == 1 &&
                  ::SSL_CTX_check_private_key(context) == 1;
    if (usable && !web.clientCaFile.empty()) {
        STACK_OF(X509_NAME)* names = ::SSL_load_client_CA_file(web.clientCaFile.c_str());
        usable = names && ::SSL_CTX_load_verify_locations(context, web.clientCaFile.c_str(), nullptr) == 1;
        if (names) ::SSL_CTX_set_client_CA_list(context, names);
        if (!usable) error = "cannot use the client CA file " + web.clientCaFile;
    } else if (!usable) {
        error = "cannot use the certificate " + web.certFile + " with the key " + web.keyFile;
    }
    ::ERR_clear_error();
    if (!usable) {
        ::SSL_CTX_free(context);
        return nullptr;
    }
    const std::string& type = web.clientAuthType;
    if (type == "RequestClientCert") ::SSL_CTX_set_verify(context, SSL_VERIFY_PEER, anyCertificate);
    else if (type == "RequireAnyClientCert")
        ::SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, anyCertificate);
    else if (type == "VerifyClientCertIfGiven") ::SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
    else if (type == "RequireAndVerifyClientCert")
        ::SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    ::SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    // No session tickets or cache: every instance would keep keys for
    // clients that come back once per scrape anyway.
    ::SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    ::SSL_CTX_set_num_tickets(context, 0);
    return context;
}

// Serves from the newest usable files: looked at, at most once a second, by
// the server's one thread when a connection comes.
class OpenSslContext final : public net::TlsContext {
public:
    OpenSslContext(WebConfig web, SSL_CTX* context) : web_(std::move(web)), context_(context), stamps_(stamps()) {}
    ~OpenSslContext() override { ::SSL_CTX_free(context_); }

    std::unique_ptr<net::TlsSession> session(int fd) override {
        reloadIfChanged();
        SSL* ssl = ::SSL_new(context_);
        if (!ssl || ::SSL_set_fd(ssl, fd) != 1) {
            ::SSL_free(ssl);
            ::ERR_clear_error();
            return nullptr;
        }
        return std::make_unique<OpenSslSession>(ssl);
    }

private:
    std::array<FileStamp, 3> stamps() const {
        return {stampOf(web_.certFile), stampOf(web_.keyFile), stampOf(web_.clientCaFile)};
    }

    void reloadIfChanged() {
        const auto now = Clock::now();
        if (now - lastLook_ < std::chrono::seconds(1)) return;
        lastLook_ = now;
        const auto current = stamps();
        if (current == stamps_) return;
        stamps_ = current;
        std::string error;
        // A session holds its own reference to the context it began with.
        if (SSL_CTX* fresh = contextOf(web_, error)) {
            ::SSL_CTX_free(context_);
            context_ = fresh;
            std::cerr << "KvxDiagnostics: metrics: certificate " << web_.certFile << " read again" << std::endl;
        } else {
            std::cerr << "KvxDiagnostics: metrics: keeping the certificate in use: " << error << std::endl;
        }
    }

    WebConfig web_;
    SSL_CTX* context_;
    std::array<FileStamp, 3> stamps_;
    Clock::time_point lastLook_ = Clock::now();
};

}  // namespace

std::shared_ptr<net::TlsContext> makeTlsContext(const WebConfig& web, std::string& error) {
    SSL_CTX* context = contextOf(web, error);
    if (!context) return nullptr;
    // OpenSSL writes to the socket with write(): a peer gone mid-answer must
    // not end the program with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    return std::make_shared<OpenSslContext>(web, context);
}

std::optional<int> startSecured(MetricsServer& server, const std::string& host, int port, const WebConfig& web,
                                std::string& error) {
    std::shared_ptr<net::TlsContext> tls;
    if (web.tls() && !(tls = makeTlsContext(web, error))) return std::nullopt;
    MetricsServer::Authorizer authorize;
    MetricsServer::Remembered remembered;
    if (!web.users.empty()) {
        auto auth = std::make_shared<BasicAuth>(web.users);
        authorize = [auth](const std::string& header, const std::atomic<bool>& stop) { return auth->accepts(header, stop); };
        remembered = [auth](const std::string& header) { return auth->remembers(header); };
    }
    return server.start(host, port, error, std::move(tls), std::move(authorize), std::move(remembered));
}

}  // namespace kvx
