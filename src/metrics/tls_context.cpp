#include "metrics/tls_context.h"

#include <sys/stat.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <ctime>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/safe_file.h"
#include "platform/log.h"

namespace kvx {

namespace {

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
using Stamps = std::array<FileStamp, 3>;

FileStamp stampOf(const std::string& path) {
    FileStamp s;
    struct stat st{};
    if (!path.empty() && ::stat(path.c_str(), &st) == 0) s = {st.st_dev, st.st_ino, st.st_size, st.st_mtim};
    return s;
}

Stamps stampsOf(const WebConfig& web) {
    return {stampOf(web.certFile), stampOf(web.keyFile), stampOf(web.clientCaFile)};
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

// Never asks for a pass phrase: OpenSSL's own prompt would hold the start
// on the terminal. Notes in `asked` (a bool) that one was wanted.
int noPassPhrase(char*, int, int, void* asked) {
    if (asked) *static_cast<bool*>(asked) = true;
    return -1;
}

// The file through the bounded reader: a FIFO, device or folder in its
// place is refused, never waited on or read without end.
bool readTlsFile(const std::string& path, const char* what, std::string& text, std::string& error) {
    std::string why;
    bool cut = false;
    if (!platform::readRegularFile(path, kMaxTlsFileBytes, text, why, nullptr, &cut)) {
        error = std::string("the ") + what + " " + path + " cannot be read (" + why + ")";
        return false;
    }
    if (cut) error = std::string("the ") + what + " " + path + " is larger than " +
                     std::to_string(kMaxTlsFileBytes >> 20) + " MB";
    return !cut;
}

using Bio = std::unique_ptr<BIO, decltype(&::BIO_free)>;
Bio bioOf(const std::string& text) {
    return {::BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), ::BIO_free};
}

// The server's certificate and the chain after it, as
// SSL_CTX_use_certificate_chain_file takes them from a file.
bool useCertificateChain(SSL_CTX* context, const std::string& pem) {
    const Bio bio = bioOf(pem);
    X509* leaf = bio ? ::PEM_read_bio_X509_AUX(bio.get(), nullptr, noPassPhrase, nullptr) : nullptr;
    const bool used = leaf && ::SSL_CTX_use_certificate(context, leaf) == 1;
    ::X509_free(leaf);
    if (!used || ::SSL_CTX_clear_chain_certs(context) != 1) return false;
    while (X509* ca = ::PEM_read_bio_X509(bio.get(), nullptr, noPassPhrase, nullptr)) {
        if (::SSL_CTX_add0_chain_cert(context, ca) != 1) {
            ::X509_free(ca);
            return false;
        }
    }
    // The chain ends where no further certificate starts; anything else is a broken one.
    const unsigned long last = ::ERR_peek_last_error();
    return ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE;
}

// The CAs client certificates are verified against, and their names sent
// to a client as the ones it may choose from (with any CRLs of the file).
bool useClientCas(SSL_CTX* context, const std::string& pem) {
    const Bio bio = bioOf(pem);
    STACK_OF(X509_INFO)* infos = bio ? ::PEM_X509_INFO_read_bio(bio.get(), nullptr, noPassPhrase, nullptr) : nullptr;
    X509_STORE* store = ::SSL_CTX_get_cert_store(context);
    bool usable = infos != nullptr, any = false;
    for (int i = 0; usable && i < sk_X509_INFO_num(infos); ++i) {
        const X509_INFO* info = sk_X509_INFO_value(infos, i);
        if (info->x509) {
            usable = ::X509_STORE_add_cert(store, info->x509) == 1 && ::SSL_CTX_add_client_CA(context, info->x509) == 1;
            any = true;
        }
        if (usable && info->crl) usable = ::X509_STORE_add_crl(store, info->crl) == 1;
    }
    sk_X509_INFO_pop_free(infos, ::X509_INFO_free);
    return usable && any;
}

// A context from the files' texts, read into memory first, so that nothing
// but the bounded reader ever opens them.
SSL_CTX* contextOf(const WebConfig& web, std::string& error) {
    std::string cert, key, ca;
    if (!readTlsFile(web.certFile, "certificate", cert, error) || !readTlsFile(web.keyFile, "key", key, error) ||
        (!web.clientCaFile.empty() && !readTlsFile(web.clientCaFile, "client CA file", ca, error)))
        return nullptr;
    SSL_CTX* context = ::SSL_CTX_new(::TLS_server_method());
    if (context) ::SSL_CTX_set_default_passwd_cb(context, noPassPhrase);
    bool encrypted = false;
    EVP_PKEY* privateKey = nullptr;
    if (const Bio bio = bioOf(key)) privateKey = ::PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassPhrase, &encrypted);
    bool usable = context && ::SSL_CTX_set_min_proto_version(context, versionOf(web.minVersion)) == 1 &&
                  useCertificateChain(context, cert) && privateKey &&
                  ::SSL_CTX_use_PrivateKey(context, privateKey) == 1 && ::SSL_CTX_check_private_key(context) == 1;
    ::EVP_PKEY_free(privateKey);
    if (usable && !web.clientCaFile.empty()) {
        usable = useClientCas(context, ca);
        if (!usable) error = "cannot use the client CA file " + web.clientCaFile;
    } else if (!usable) {
        error = encrypted ? "the key " + web.keyFile + " is encrypted; give an unencrypted key"
                          : "cannot use the certificate " + web.certFile + " with the key " + web.keyFile;
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

// Serves from the newest usable files. A watcher thread looks at their
// stamps once a second and builds a new context when one changed, so the
// server's thread never reads a file: it only takes the current context
// when a connection comes.
class OpenSslContext final : public net::TlsContext {
public:
    OpenSslContext(WebConfig web, const Stamps& stamps, SSL_CTX* context)
        : web_(std::move(web)), stamps_(stamps), context_(context), watcher_([this] { watch(); }) {}
    ~OpenSslContext() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        watcher_.join();
        ::SSL_CTX_free(context_);
    }

    std::unique_ptr<net::TlsSession> session(int fd) override {
        SSL* ssl = nullptr;
        {
            // A session holds its own reference to the context it began with.
            std::lock_guard lock(mutex_);
            ssl = ::SSL_new(context_);
        }
        if (!ssl || ::SSL_set_fd(ssl, fd) != 1) {
            ::SSL_free(ssl);
            ::ERR_clear_error();
            return nullptr;
        }
        return std::make_unique<OpenSslSession>(ssl);
    }

private:
    void watch() {
        std::unique_lock lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopping_; })) {
            lock.unlock();
            reloadIfChanged();
            lock.lock();
        }
    }

    void reloadIfChanged() {
        const Stamps current = stampsOf(web_);
        if (current == stamps_) return;
        stamps_ = current;
        std::string error;
        SSL_CTX* fresh = contextOf(web_, error);
        if (!fresh) {
            log(LogLevel::Warn, "metrics: keeping the certificate in use: " + error);
            return;
        }
        {
            std::lock_guard lock(mutex_);
            std::swap(context_, fresh);
        }
        ::SSL_CTX_free(fresh);
        log(LogLevel::Info, "metrics: certificate " + web_.certFile + " read again");
    }

    const WebConfig web_;
    Stamps stamps_;  // the watcher's alone
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
    SSL_CTX* context_;
    std::thread watcher_;  // last: it starts once everything it uses is there
};

}  // namespace

std::shared_ptr<net::TlsContext> makeTlsContext(const WebConfig& web, std::string& error) {
    // Stamped before the read: a change while it reads is read again.
    const Stamps stamps = stampsOf(web);
    SSL_CTX* context = contextOf(web, error);
    if (!context) return nullptr;
    // OpenSSL writes to the socket with write(): a peer gone mid-answer must
    // not end the program with SIGPIPE.
    ::signal(SIGPIPE, SIG_IGN);
    try {
        return std::make_shared<OpenSslContext>(web, stamps, context);
    } catch (const std::system_error& e) {
        error = std::string("cannot watch the certificate for changes: ") + e.what();
        return nullptr;
    }
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
