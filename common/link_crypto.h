#pragma once
// The keys, certificates and TLS contexts of the encrypted display link between telvane-server
// and a receiver's telvane-consent. Each side has one long-term Ed25519 key with a self-signed
// certificate; peers know each other by the SHA-256 fingerprint of their public key, never by a
// certificate authority.

#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <optional>
#include <string>

namespace telvane::tlslink {

struct PkeyFree { void operator()(EVP_PKEY *k) const { EVP_PKEY_free(k); } };
struct X509Free { void operator()(X509 *x) const { X509_free(x); } };
struct SslCtxFree { void operator()(SSL_CTX *c) const { SSL_CTX_free(c); } };
struct SslFree { void operator()(SSL *s) const { SSL_free(s); } };
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
using Certificate = std::unique_ptr<X509, X509Free>;
using SslCtx = std::unique_ptr<SSL_CTX, SslCtxFree>;
using Ssl = std::unique_ptr<SSL, SslFree>;

// File names of a side's key and certificate inside its private folder (~/.Telvane).
inline constexpr const char *kKeyFile = "link_key.pem";
inline constexpr const char *kCertFile = "link_cert.pem";

// One side's long-term identity: its key, its certificate and the key's fingerprint.
struct Identity {
    Pkey key;
    Certificate cert;
    std::string fingerprint;   // 64 lower-case hex digits
};

// The identity kept in `folder`, made there on first use (the folder too, mode 0700; the key
// file mode 0600). Refuses a key file that others than its owner may read or write, or that is
// no regular file: `error` then says why and which file. `common_name` goes into a new
// certificate's subject. Called once at start by telvane-server and telvane-consent.
std::optional<Identity> load_or_create_identity(const std::string &folder, const std::string &common_name,
                                                std::string &error);

// The fingerprint of `key`: SHA-256 over its DER public key, in lower-case hex. Empty when the
// key cannot be encoded.
std::string fingerprint_of(EVP_PKEY *key);

// The fingerprint of the certificate the peer of a finished handshake showed; empty when it
// showed none.
std::string peer_fingerprint(SSL *ssl);

// A fingerprint as people compare it: its first 16 hex digits in four groups, "ab12 cd34 ...".
std::string short_fingerprint(const std::string &fingerprint);

// A TLS 1.3-only context that shows `id` and asks the peer for its certificate, accepting any
// (the caller judges the peer by its fingerprint afterwards). No session tickets: a link is one
// connection. `server` chooses the accepting side. Null when OpenSSL refuses.
SslCtx make_link_context(const Identity &id, bool server);

// The text of OpenSSL's newest queued error (and clears the queue), for logs.
std::string last_tls_error();

}  // namespace telvane::tlslink
