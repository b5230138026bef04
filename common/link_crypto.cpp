// Long-term link keys on disk, their fingerprints, and the TLS contexts built from them.
#include "link_crypto.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace telvane::tlslink {

namespace {

struct FileClose { void operator()(FILE *f) const { std::fclose(f); } };
using File = std::unique_ptr<FILE, FileClose>;

// Opens an existing private file for reading, refusing what is not a regular file of ours
// that only we may read and write.
File open_private(const std::string &path, std::string &error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) { error = path + ": " + std::strerror(errno); return nullptr; }
    struct stat st{};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        error = path + ": not a regular file";
        return nullptr;
    }
    if ((st.st_mode & 077) != 0 || st.st_uid != geteuid()) {
        close(fd);
        error = path + ": others may read or change it; make it yours with mode 0600 (chmod 600)";
        return nullptr;
    }
    File f(fdopen(fd, "r"));
    if (!f) { close(fd); error = path + ": " + std::strerror(errno); }
    return f;
}

// Creates `path` afresh with mode 0600, replacing nothing: the caller checked it is absent.
File create_private(const std::string &path, std::string &error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) { error = path + ": " + std::strerror(errno); return nullptr; }
    File f(fdopen(fd, "w"));
    if (!f) { close(fd); error = path + ": " + std::strerror(errno); }
    return f;
}

Certificate self_signed(EVP_PKEY *key, const std::string &common_name) {
    Certificate cert(X509_new());
    if (!cert) return nullptr;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 1);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -24 * 3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 100L * 365 * 24 * 3600);
    X509_NAME *name = X509_get_subject_name(cert.get());
    const std::string cn = common_name.empty() ? "telvane" : common_name.substr(0, 64);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char *>(cn.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    if (X509_set_pubkey(cert.get(), key) != 1) return nullptr;
    // Ed25519 signs without a separate digest.
    if (X509_sign(cert.get(), key, nullptr) <= 0) return nullptr;
    return cert;
}

bool make_identity(const std::string &key_path, const std::string &cert_path, const std::string &common_name,
                   std::string &error) {
    Pkey key(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!key) { error = "cannot make a key: " + last_tls_error(); return false; }
    Certificate cert = self_signed(key.get(), common_name);
    if (!cert) { error = "cannot make a certificate: " + last_tls_error(); return false; }
    File kf = create_private(key_path, error);
    if (!kf) return false;
    if (PEM_write_PrivateKey(kf.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1 ||
        std::fflush(kf.get()) != 0) {
        error = key_path + ": cannot write the key";
        unlink(key_path.c_str());
        return false;
    }
    unlink(cert_path.c_str());
    File cf = create_private(cert_path, error);
    if (!cf) return false;
    if (PEM_write_X509(cf.get(), cert.get()) != 1 || std::fflush(cf.get()) != 0) {
        error = cert_path + ": cannot write the certificate";
        return false;
    }
    return true;
}

}  // namespace

std::string last_tls_error() {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    if (e == 0) return "no further detail";
    char buf[256];
    ERR_error_string_n(e, buf, sizeof buf);
    return buf;
}

std::optional<Identity> load_or_create_identity(const std::string &folder, const std::string &common_name,
                                                std::string &error) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = folder + ": " + std::strerror(errno);
        return std::nullopt;
    }
    const std::string key_path = folder + "/" + kKeyFile;
    const std::string cert_path = folder + "/" + kCertFile;
    struct stat st{};
    if (lstat(key_path.c_str(), &st) != 0) {
        if (errno != ENOENT) { error = key_path + ": " + std::strerror(errno); return std::nullopt; }
        if (!make_identity(key_path, cert_path, common_name, error)) return std::nullopt;
    }
    Identity id;
    {
        File kf = open_private(key_path, error);
        if (!kf) return std::nullopt;
        id.key.reset(PEM_read_PrivateKey(kf.get(), nullptr, nullptr, nullptr));
        if (!id.key) { error = key_path + ": no key in it (" + last_tls_error() + ")"; return std::nullopt; }
    }
    {
        File cf = open_private(cert_path, error);
        if (cf) id.cert.reset(PEM_read_X509(cf.get(), nullptr, nullptr, nullptr));
    }
    // A certificate that is missing, unreadable or of another key is made again from the key:
    // only the key says who we are.
    if (!id.cert || X509_check_private_key(id.cert.get(), id.key.get()) != 1) {
        ERR_clear_error();
        id.cert = self_signed(id.key.get(), common_name);
        if (!id.cert) { error = "cannot make a certificate: " + last_tls_error(); return std::nullopt; }
        unlink(cert_path.c_str());
        if (File cf = create_private(cert_path, error)) PEM_write_X509(cf.get(), id.cert.get());
        error.clear();
    }
    id.fingerprint = fingerprint_of(id.key.get());
    if (id.fingerprint.empty()) { error = key_path + ": the key cannot be encoded"; return std::nullopt; }
    return id;
}

std::string fingerprint_of(EVP_PKEY *key) {
    unsigned char *der = nullptr;
    const int len = key ? i2d_PUBKEY(key, &der) : -1;
    if (len <= 0) return {};
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    const bool ok = EVP_Digest(der, static_cast<size_t>(len), md, &md_len, EVP_sha256(), nullptr) == 1;
    OPENSSL_free(der);
    if (!ok) return {};
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < md_len; ++i) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 15];
    }
    return out;
}

std::string peer_fingerprint(SSL *ssl) {
    X509 *cert = SSL_get0_peer_certificate(ssl);
    return cert ? fingerprint_of(X509_get0_pubkey(cert)) : std::string();
}

std::string short_fingerprint(const std::string &fingerprint) {
    std::string out;
    for (std::size_t i = 0; i < 16 && i < fingerprint.size(); ++i) {
        if (i && i % 4 == 0) out += ' ';
        out += fingerprint[i];
    }
    return out;
}

SslCtx make_link_context(const Identity &id, bool server) {
    SslCtx ctx(SSL_CTX_new(server ? TLS_server_method() : TLS_client_method()));
    if (!ctx) return nullptr;
    if (SSL_CTX_set_min_proto_version(ctx.get(), TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx.get(), TLS1_3_VERSION) != 1 ||
        SSL_CTX_use_certificate(ctx.get(), id.cert.get()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx.get(), id.key.get()) != 1)
        return nullptr;
    // Self-signed on both sides: the chain proves nothing, the fingerprint check after the
    // handshake does. A peer without a certificate still fails the handshake.
    SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                       [](int, X509_STORE_CTX *) { return 1; });
    SSL_CTX_set_num_tickets(ctx.get(), 0);
    SSL_CTX_set_session_cache_mode(ctx.get(), SSL_SESS_CACHE_OFF);
    SSL_CTX_set_mode(ctx.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    return ctx;
}

}  // namespace telvane::tlslink
