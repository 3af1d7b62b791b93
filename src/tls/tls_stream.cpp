#include "tls/tls_stream.hpp"

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "tls/certificate_check.hpp"
#include "tls/client_identity_impl.hpp"
#include "tls/hello_message.hpp"
#include "tls/openssl_init.hpp"
#include "platform/process_state.hpp"
#include "platform/socket_io.hpp"

namespace qs {

namespace {

// ---------------------------------------------------------------------------
// The offer. OpenSSL decides the wire layout (TLS 1.3 suites ahead of the
// TLS 1.2 ones, its own extension order, one key share for the first group);
// we decide the contents and their order within each list.

// TLS 1.3 suites in preference order. OpenSSL drops names it does not know
// (the AEGIS suites), so a library that learns them offers them unchanged.
constexpr const char* kTls13Suites =
    "TLS_CHACHA20_POLY1305_SHA256:TLS_AEGIS_128L_SHA256:TLS_AEGIS_256_SHA512:"
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384";
// TLS 1.2: ECDHE with RSA authentication only, so a TLS 1.2 server must
// present an RSA certificate.
constexpr const char* kTls12Suites =
    "ECDHE-RSA-CHACHA20-POLY1305:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384";

// The compatible profile: ECDSA-authenticated TLS 1.2 as well, and the
// suite order the processor runs fastest. With AES instructions AES-GCM
// moves data several times faster than ChaCha20; without them ChaCha20 is
// the faster one and stays first.
constexpr const char* kTls13SuitesAesFirst =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256:"
    "TLS_AEGIS_128L_SHA256:TLS_AEGIS_256_SHA512";
constexpr const char* kTls12SuitesAesFirst =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls12SuitesChaChaFirst =
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384";

bool processorHasAes() {
#if defined(__x86_64__) || defined(__i386__)
    return __builtin_cpu_supports("aes") != 0;
#else
    return false;
#endif
}

struct SuiteLists {
    const char* tls13;
    const char* tls12;
};

SuiteLists suitesFor(TlsProfile profile) {
    if (profile == TlsProfile::baseline) return {kTls13Suites, kTls12Suites};
    static const bool aes = processorHasAes();
    if (aes) return {kTls13SuitesAesFirst, kTls12SuitesAesFirst};
    return {kTls13Suites, kTls12SuitesChaChaFirst};
}

constexpr const char* kSignatureAlgorithms =
    "ecdsa_secp256r1_sha256:ecdsa_secp384r1_sha384:rsa_pkcs1_sha256:rsa_pkcs1_sha384:"
    "rsa_pkcs1_sha512:rsa_pss_rsae_sha256:rsa_pss_rsae_sha384:rsa_pss_rsae_sha512:"
    "rsa_pss_pss_sha256:rsa_pss_pss_sha384:rsa_pss_pss_sha512:rsa_pkcs1_sha1:ed25519";

struct Group {
    const char* name;
    std::uint16_t code;
};
// In preference order; groups this OpenSSL lacks are left out at run time.
constexpr std::array<Group, 4> kGroups = {{
    {"X25519MLKEM768", 0x11EC},
    {"P-256", 0x0017},
    {"P-384", 0x0018},
    {"X25519", 0x001D},
}};

// Handshake signatures (TLS 1.3 CertificateVerify, TLS 1.2
// ServerKeyExchange) we accept. ed25519 is offered, as peers expect it in
// the list, but a server that signs with it is refused.
constexpr std::array<std::uint16_t, 12> kAcceptedHandshakeSchemes = {
    0x0201,                  // rsa_pkcs1_sha1
    0x0401, 0x0501, 0x0601,  // rsa_pkcs1_sha256/384/512
    0x0804, 0x0805, 0x0806,  // rsa_pss_rsae_sha256/384/512
    0x0809, 0x080A, 0x080B,  // rsa_pss_pss_sha256/384/512
    0x0403, 0x0503,          // ecdsa_secp256r1_sha256, ecdsa_secp384r1_sha384
};

struct OfferedGroups {
    std::string list;  // for SSL_CTX_set1_groups_list
    std::vector<std::uint16_t> codes;
};

// Which of kGroups this OpenSSL supports, probed once on a scratch context.
const OfferedGroups& offeredGroups() {
    static const OfferedGroups groups = [] {
        OfferedGroups result;
        SSL_CTX* probe = SSL_CTX_new(TLS_client_method());
        for (const Group& group : kGroups) {
            if (probe == nullptr || SSL_CTX_set1_groups_list(probe, group.name) != 1) continue;
            if (!result.list.empty()) result.list += ':';
            result.list += group.name;
            result.codes.push_back(group.code);
        }
        SSL_CTX_free(probe);
        ERR_clear_error();
        return result;
    }();
    return groups;
}

bool isAcceptedHandshakeScheme(std::uint16_t scheme) {
    for (const std::uint16_t accepted : kAcceptedHandshakeSchemes)
        if (accepted == scheme) return true;
    return false;
}

bool contains(const std::vector<std::uint16_t>& codes, std::uint16_t code) {
    for (const std::uint16_t c : codes)
        if (c == code) return true;
    return false;
}

// Maps what OpenSSL reported for a handshake it failed by itself.
Error reasonFromOpenSsl(unsigned long code) {
    if (code == 0 || ERR_GET_LIB(code) != ERR_LIB_SSL) return Error::TlsInitializationFailed;
    const int reason = ERR_GET_REASON(code);
    if (reason >= SSL_AD_REASON_OFFSET && reason < SSL_AD_REASON_OFFSET + 256)
        return Error::TlsAlert;
    switch (reason) {
    case SSL_R_WRONG_VERSION_NUMBER:
    case SSL_R_UNSUPPORTED_PROTOCOL:
    case SSL_R_UNKNOWN_PROTOCOL:
    case SSL_R_WRONG_CIPHER_RETURNED:
    case SSL_R_WRONG_CURVE:
    case SSL_R_BAD_KEY_SHARE:
    case SSL_R_INVALID_SESSION_ID:
    case SSL_R_INAPPROPRIATE_FALLBACK: return Error::TlsIllegalParameter;
    case SSL_R_UNEXPECTED_MESSAGE:
    case SSL_R_UNEXPECTED_RECORD:
    case SSL_R_UNEXPECTED_CCS_MESSAGE: return Error::TlsUnexpectedMessage;
    case SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC:
    case SSL_R_DECRYPTION_FAILED: return Error::TlsBadRecordMac;
    case SSL_R_BAD_SIGNATURE:
    case SSL_R_DIGEST_CHECK_FAILED: return Error::TlsDecryptError;
    case SSL_R_WRONG_SIGNATURE_TYPE: return Error::TlsBadSignatureScheme;
    case SSL_R_LENGTH_MISMATCH:
    case SSL_R_BAD_LENGTH:
    case SSL_R_LENGTH_TOO_SHORT: return Error::TlsBadLength;
    case SSL_R_DATA_LENGTH_TOO_LONG:
    case SSL_R_ENCRYPTED_LENGTH_TOO_LONG:
    case SSL_R_PACKET_LENGTH_TOO_LONG: return Error::TlsRecordOverflow;
    case SSL_R_CERTIFICATE_VERIFY_FAILED: return Error::TlsCertificateNotVerified;
    default: return Error::TlsDecodeError;
    }
}

struct SslCtxFree {
    void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct SslFree {
    void operator()(SSL* ssl) const { SSL_free(ssl); }
};

}  // namespace

// ---------------------------------------------------------------------------

struct TlsStream::Impl {
    int fd = -1;
    // The waits of the session: the caller's limits, or `unlimited` (where
    // only a stop signal ends a wait) when it gave none.
    platform::SocketLimits* limits = nullptr;
    platform::SocketLimits unlimited;
    const TrustStore* store = nullptr;
    std::string host;
    std::int64_t now = 0;  // the one clock reading certificates are judged by
    bool now_taken = false;
    bool peer_closed = false;  // the socket reached its end
    bool close_notify_received = false;
    bool certificate_requested = false;  // the server asked for ours
    std::optional<unsigned> alert;       // the last alert from the server
    std::string failure_detail;          // see TlsFailure::detail
    TlsOptions options;
    // Why the session was refused; once set, the socket BIO moves no more
    // bytes, so OpenSSL's own state machine stops at its next read or write.
    std::optional<Error> failure;
    std::vector<std::uint16_t> shared_groups;  // groups whose key share went out
    std::unique_ptr<SSL_CTX, SslCtxFree> ctx;
    std::unique_ptr<SSL, SslFree> ssl;

    void fail(Error reason) {
        if (!failure) failure = reason;
    }

    void takeTime() {
        if (now_taken) return;
        now = platform::wallClockSeconds();
        now_taken = true;
    }

    void onClientHello(HelloBytes message);
    void onServerHello(HelloBytes message);
    void onSignatureScheme(std::optional<std::uint16_t> scheme);
};

void TlsStream::Impl::onClientHello(HelloBytes message) {
    takeTime();
    const auto hello = parseHello(message, HelloSender::client);
    if (!hello) return;
    if (const HelloExtension* shares = hello->find(kExtensionKeyShare)) {
        if (auto groups = keyShareGroups(shares->body)) shared_groups = std::move(*groups);
    }
}

void TlsStream::Impl::onServerHello(HelloBytes message) {
    const auto hello = parseHello(message, HelloSender::server);
    if (!hello) return;  // malformed: OpenSSL refuses it with its own reason

    if (isHelloRetryRequest(*hello)) {
        // A retry is refused, except the one kind our library forces on us:
        // it sends a key share for its first group only, where the full offer
        // carries one for every group. A retry that asks for another offered
        // group, and for nothing else (no cookie), only makes up for that.
        std::optional<std::uint16_t> selected;
        for (const HelloExtension& extension : hello->extensions) {
            if (extension.type == kExtensionSupportedVersions) continue;
            if (extension.type != kExtensionKeyShare || extension.body.size() != 2) {
                fail(Error::TlsUnexpectedMessage);
                return;
            }
            selected = static_cast<std::uint16_t>((extension.body[0] << 8) | extension.body[1]);
        }
        if (!selected || !contains(offeredGroups().codes, *selected) ||
            contains(shared_groups, *selected))
            fail(Error::TlsUnexpectedMessage);
        return;
    }

    if (selectedVersion(*hello) == std::uint16_t{0x0304}) return;
    // TLS 1.2: a server able to speak a newer version marks a downgrade in
    // the last eight bytes of its random; either mark means someone stripped
    // our better offer.
    if (carriesDowngradeSentinel(*hello)) fail(Error::TlsIllegalParameter);
}

void TlsStream::Impl::onSignatureScheme(std::optional<std::uint16_t> scheme) {
    if (!scheme) return;  // malformed: OpenSSL refuses it
    if (!isAcceptedHandshakeScheme(*scheme)) fail(Error::TlsBadSignatureScheme);
}

namespace {

// Sees every handshake message and alert as OpenSSL sends or receives it,
// before OpenSSL acts on a received one. The checks OpenSSL lacks hook in
// here; a refusal stops the socket BIO, so the handshake fails at its next
// read or write, before anything further is sent.
void inspectMessage(TlsStream::Impl* impl, int write_p, int content_type, const void* buf,
                    std::size_t len) {
    const auto* bytes = static_cast<const unsigned char*>(buf);
    if (len == 0) return;
    if (content_type == SSL3_RT_ALERT) {
        // Anything but close_notify from the server ends the session.
        if (write_p == 0 && len >= 2) {
            if (bytes[1] != SSL3_AD_CLOSE_NOTIFY) {
                impl->alert = bytes[1];
                impl->fail(Error::TlsAlert);
            } else {
                impl->close_notify_received = true;
            }
        }
        return;
    }
    if (content_type != SSL3_RT_HANDSHAKE) return;
    const HelloBytes message(bytes, len);
    if (write_p != 0) {
        if (bytes[0] == kHandshakeClientHello) impl->onClientHello(message);
        return;
    }
    switch (bytes[0]) {
    case kHandshakeServerHello: impl->onServerHello(message); break;
    case kHandshakeCertificateRequest: impl->certificate_requested = true; break;
    case kHandshakeCertificateVerify:
    case kHandshakeServerKeyExchange:
        impl->onSignatureScheme(handshakeSignatureScheme(message));
        break;
    default: break;
    }
}

void onMessage(int write_p, int /*version*/, int content_type, const void* buf, std::size_t len,
               SSL* /*ssl*/, void* arg) {
    auto* impl = static_cast<TlsStream::Impl*>(arg);
    // No exception may cross OpenSSL's C frames.
    try {
        inspectMessage(impl, write_p, content_type, buf, len);
    } catch (const std::bad_alloc&) {
        impl->fail(Error::OutOfMemory);
    }
}

// "YYYY-MM-DD HH:MM:SS UTC" for a certificate time.
std::string timeText(const ASN1_TIME* time) {
    std::tm parts{};
    if (ASN1_TIME_to_tm(time, &parts) != 1) return "an unreadable time";
    // Room for any int in every field, so nothing is cut short.
    std::array<char, 96> text{};
    std::snprintf(text.data(), text.size(), "%04d-%02d-%02d %02d:%02d:%02d UTC",
                  parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_hour,
                  parts.tm_min, parts.tm_sec);
    return text.data();
}

std::string nameText(const X509_NAME* name) {
    BIO* bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return {};
    std::string text;
    if (X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253) >= 0) {
        char* data = nullptr;
        const long length = BIO_get_mem_data(bio, &data);
        if (length > 0) text.assign(data, static_cast<std::size_t>(length));
    }
    BIO_free(bio);
    return text;
}

// The words the operator's line carries for a refused chain.
std::string describeFailure(Error reason, const std::vector<x509_st*>& chain,
                            std::string_view host, std::int64_t now) {
    switch (reason) {
    case Error::CertificateExpired:
        // The first certificate of the list whose time is up.
        for (x509_st* certificate : chain) {
            const ASN1_TIME* until = X509_get0_notAfter(certificate);
            if (ASN1_TIME_cmp_time_t(until, static_cast<time_t>(now)) < 0) return timeText(until);
        }
        return timeText(X509_get0_notAfter(chain.front()));
    case Error::CertificateHostMismatch: return std::string(host);
    case Error::TlsCertificateNotVerified:
        return chain.empty() ? std::string() : nameText(X509_get_issuer_name(chain.back()));
    default: return {};
    }
}

// Our own server verification in place of OpenSSL's chain building.
int checkServer(TlsStream::Impl* impl, X509_STORE_CTX* store_ctx) {
    impl->takeTime();
    const STACK_OF(X509)* sent = X509_STORE_CTX_get0_untrusted(store_ctx);
    std::vector<x509_st*> chain;
    for (int i = 0; i < sk_X509_num(sent); ++i) chain.push_back(sk_X509_value(sent, i));
    const AddressMatching addresses = impl->options.profile == TlsProfile::compatible
                                          ? AddressMatching::addresses_too
                                          : AddressMatching::dns_names_only;
    const auto verified = verifyServerChain(chain, *impl->store, impl->host, impl->now, addresses);
    if (!verified) {
        impl->failure_detail = describeFailure(verified.error(), chain, impl->host, impl->now);
        impl->fail(verified.error());
        X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_CERT_REJECTED);
        return 0;
    }
    // The leaf's key signs the handshake; RSA only in the sizes we accept.
    const EVP_PKEY* key = X509_get0_pubkey(chain.front());
    if (key != nullptr && EVP_PKEY_get_base_id(key) == EVP_PKEY_RSA) {
        const int bits = EVP_PKEY_get_bits(key);
        if (bits != 1024 && bits != 2048 && bits != 3072 && bits != 4096) {
            impl->fail(Error::TlsBadRsaSignatureBitCount);
            X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_CERT_REJECTED);
            return 0;
        }
    }
    return 1;
}

int verifyServer(X509_STORE_CTX* store_ctx, void* arg) {
    auto* impl = static_cast<TlsStream::Impl*>(arg);
    try {
        return checkServer(impl, store_ctx);
    } catch (const std::bad_alloc&) {
        impl->fail(Error::OutOfMemory);
        X509_STORE_CTX_set_error(store_ctx, X509_V_ERR_OUT_OF_MEM);
        return 0;
    }
}

// ---------------------------------------------------------------------------
// The socket under the session, through the platform layer: EINTR-safe,
// MSG_NOSIGNAL. On a non-blocking socket an empty or full socket becomes
// OpenSSL's "retry", which the stream turns into a wait (awaitSocket).

TlsStream::Impl* bioOwner(BIO* bio) { return static_cast<TlsStream::Impl*>(BIO_get_data(bio)); }

int bioWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
    BIO_clear_retry_flags(bio);
    TlsStream::Impl* impl = bioOwner(bio);
    *written = 0;
    if (impl->failure) return 0;
    const auto sent = platform::socketSend(impl->fd, std::string_view(data, size));
    if (!sent) {
        if (sent.error() == Error::WouldBlock) BIO_set_retry_write(bio);
        return 0;
    }
    *written = *sent;
    return 1;
}

int bioRead(BIO* bio, char* data, std::size_t size, std::size_t* read) {
    BIO_clear_retry_flags(bio);
    TlsStream::Impl* impl = bioOwner(bio);
    *read = 0;
    if (impl->failure) return 0;
    const auto received = platform::socketReceive(impl->fd, std::span<char>(data, size));
    if (!received) {
        if (received.error() == Error::WouldBlock) BIO_set_retry_read(bio);
        return 0;
    }
    if (*received == 0) {
        impl->peer_closed = true;
        return 0;
    }
    *read = *received;
    return 1;
}

long bioControl(BIO* bio, int command, long /*number*/, void* /*pointer*/) {
    switch (command) {
    case BIO_CTRL_FLUSH: return 1;  // every write went straight to the socket
    case BIO_CTRL_EOF: return bioOwner(bio)->peer_closed ? 1 : 0;
    default: return 0;
    }
}

int bioCreate(BIO* bio) {
    BIO_set_init(bio, 0);
    BIO_set_data(bio, nullptr);
    return 1;
}

int bioDestroy(BIO* /*bio*/) { return 1; }

BIO_METHOD* socketBioMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "quillstead socket");
        if (m == nullptr) return m;
        BIO_meth_set_write_ex(m, bioWrite);
        BIO_meth_set_read_ex(m, bioRead);
        BIO_meth_set_ctrl(m, bioControl);
        BIO_meth_set_create(m, bioCreate);
        BIO_meth_set_destroy(m, bioDestroy);
        return m;
    }();
    return method;
}

// The context with the agent's profile. Every setting that openssl.cnf or a
// distribution default could have touched is set explicitly.
bool configure(SSL_CTX* ctx, TlsStream::Impl* impl) {
    const SuiteLists suites = suitesFor(impl->options.profile);
    // Level 0: the profile itself decides which keys, digests and versions
    // are good enough (1024-bit RSA and SHA-1 certificate signatures are
    // accepted); a distribution's default level would silently narrow it.
    SSL_CTX_set_security_level(ctx, 0);
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) return false;
    if (SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1) return false;
    if (SSL_CTX_set_ciphersuites(ctx, suites.tls13) != 1) return false;
    if (SSL_CTX_set_cipher_list(ctx, suites.tls12) != 1) return false;
    const OfferedGroups& groups = offeredGroups();
    if (groups.list.empty() || SSL_CTX_set1_groups_list(ctx, groups.list.c_str()) != 1)
        return false;
    if (SSL_CTX_set1_sigalgs_list(ctx, kSignatureAlgorithms) != 1) return false;

    SSL_CTX_clear_options(ctx, SSL_CTX_get_options(ctx));
    SSL_CTX_set_options(ctx,
                        SSL_OP_NO_TICKET                        // no resumption
                            | SSL_OP_NO_RENEGOTIATION           //
                            | SSL_OP_NO_COMPRESSION             //
                            | SSL_OP_NO_EXTENDED_MASTER_SECRET  //
                            | SSL_OP_NO_ENCRYPT_THEN_MAC        // AEAD suites only anyway
                            | SSL_OP_ENABLE_MIDDLEBOX_COMPAT    // the 32-byte legacy session id
                            // We never renegotiate, so a server without the
                            // secure-renegotiation extension is no risk.
                            | SSL_OP_LEGACY_SERVER_CONNECT
                            // The end of the connection without close_notify
                            // ends the stream; HTTP framing judges the body,
                            // asking endConfirmed() where only the end frames it.
                            | SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_cert_verify_callback(ctx, verifyServer, impl);
    SSL_CTX_set_msg_callback(ctx, onMessage);
    SSL_CTX_set_msg_callback_arg(ctx, impl);
    if (const auto& identity = impl->options.identity) {
        const ClientIdentity::Impl& held = identity->impl();
        if (SSL_CTX_use_certificate(ctx, held.certificate.get()) != 1) return false;
        for (const auto& certificate : held.chain)
            if (SSL_CTX_add1_chain_cert(ctx, certificate.get()) != 1) return false;
        if (SSL_CTX_use_PrivateKey(ctx, held.key.get()) != 1) return false;
    }
    return true;
}

// After an OpenSSL call returned `status`: when it only has to wait for
// the socket, waits (true: call it again); false when it really failed or
// the wait gave up (the reason then stands in impl->limits->ended_by).
bool awaitSocket(TlsStream::Impl& impl, int status) {
    if (impl.failure) return false;
    const int detail = SSL_get_error(impl.ssl.get(), status);
    if (detail != SSL_ERROR_WANT_READ && detail != SSL_ERROR_WANT_WRITE) return false;
    ERR_clear_error();
    const platform::SocketReady ready = detail == SSL_ERROR_WANT_READ
                                            ? platform::SocketReady::readable
                                            : platform::SocketReady::writable;
    return platform::waitForSocket(impl.fd, ready, *impl.limits).has_value();
}

Result<std::unique_ptr<TlsStream::Impl>> runHandshake(int socket_fd, std::string_view host,
                                                      const TrustStore& store,
                                                      const TlsOptions& options,
                                                      platform::SocketLimits* limits,
                                                      Error& reason,
                                                      std::unique_ptr<TlsStream::Impl>& impl) {
    // The server name goes out byte for byte through a C string: a NUL in it
    // could not, and an empty one never matches a certificate.
    if (host.empty() || host.find('\0') != std::string_view::npos) {
        reason = Error::CertificateHostMismatch;
        return std::unexpected(Error::TlsInitializationFailed);
    }
    impl = std::make_unique<TlsStream::Impl>();
    impl->options = options;
    impl->fd = socket_fd;
    impl->limits = limits != nullptr ? limits : &impl->unlimited;
    impl->store = &store;
    impl->host.assign(host);

    impl->ctx.reset(SSL_CTX_new(TLS_client_method()));
    if (!impl->ctx || !configure(impl->ctx.get(), impl.get()))
        return std::unexpected(Error::TlsInitializationFailed);
    impl->ssl.reset(SSL_new(impl->ctx.get()));
    if (!impl->ssl) return std::unexpected(Error::TlsInitializationFailed);
    // SSL_set_tlsext_host_name, spelled out: the macro casts in C style.
    if (SSL_ctrl(impl->ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                 impl->host.data()) != 1)
        return std::unexpected(Error::TlsInitializationFailed);
    // Closing is closing the socket; no close_notify ever goes out.
    SSL_set_quiet_shutdown(impl->ssl.get(), 1);

    BIO* bio = BIO_new(socketBioMethod());
    if (bio == nullptr) return std::unexpected(Error::TlsInitializationFailed);
    BIO_set_data(bio, impl.get());
    BIO_set_init(bio, 1);
    SSL_set_bio(impl->ssl.get(), bio, bio);

    for (;;) {
        const int status = SSL_connect(impl->ssl.get());
        if (status == 1) break;
        if (awaitSocket(*impl, status)) continue;
        reason = impl->failure.value_or(
            impl->limits->ended_by.value_or(reasonFromOpenSsl(ERR_peek_last_error())));
        return std::unexpected(Error::TlsInitializationFailed);
    }
    if (impl->failure) {
        reason = *impl->failure;
        return std::unexpected(Error::TlsInitializationFailed);
    }
    // A second look at the handshake signature, as OpenSSL recorded it.
    int signature_type = NID_undef;
    if (SSL_get_peer_signature_type_nid(impl->ssl.get(), &signature_type) == 1 &&
        signature_type != EVP_PKEY_RSA && signature_type != EVP_PKEY_RSA_PSS &&
        signature_type != EVP_PKEY_EC) {
        reason = Error::TlsBadSignatureScheme;
        return std::unexpected(Error::TlsInitializationFailed);
    }
    return std::move(impl);
}

}  // namespace

TlsStream::TlsStream(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TlsStream::~TlsStream() = default;

Result<std::unique_ptr<TlsStream>> TlsStream::handshake(int socket_fd, std::string_view host,
                                                        const TrustStore& store,
                                                        platform::SocketLimits* limits) {
    Error ignored = Error::TlsInitializationFailed;
    return handshake(socket_fd, host, store, ignored, limits);
}

Result<std::unique_ptr<TlsStream>> TlsStream::handshake(int socket_fd, std::string_view host,
                                                        const TrustStore& store, Error& reason,
                                                        platform::SocketLimits* limits) {
    TlsFailure failure;
    auto session = handshake(socket_fd, host, store, TlsOptions{}, failure, limits);
    reason = failure.reason;
    return session;
}

Result<std::unique_ptr<TlsStream>> TlsStream::handshake(int socket_fd, std::string_view host,
                                                        const TrustStore& store,
                                                        const TlsOptions& options,
                                                        TlsFailure& failure,
                                                        platform::SocketLimits* limits) {
    initOpenSsl();
    failure = TlsFailure{};
    ERR_clear_error();
    std::unique_ptr<Impl> impl;
    try {
        auto session = runHandshake(socket_fd, host, store, options, limits, failure.reason, impl);
        ERR_clear_error();
        if (!session) {
            if (impl) {
                failure.detail = std::move(impl->failure_detail);
                failure.alert = impl->alert;
                failure.certificate_requested = impl->certificate_requested;
            }
            return std::unexpected(session.error());
        }
        return std::unique_ptr<TlsStream>(new TlsStream(std::move(*session)));
    } catch (const std::bad_alloc&) {
        ERR_clear_error();
        failure.reason = Error::OutOfMemory;
        return std::unexpected(Error::TlsInitializationFailed);
    }
}

bool TlsStream::certificateRequested() const { return impl_->certificate_requested; }

std::optional<unsigned> TlsStream::alertReceived() const { return impl_->alert; }

std::uint16_t TlsStream::protocolVersion() const {
    return static_cast<std::uint16_t>(SSL_version(impl_->ssl.get()));
}

bool TlsStream::endConfirmed() const { return impl_->close_notify_received; }

std::uint16_t TlsStream::cipherSuite() const {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(impl_->ssl.get());
    return cipher == nullptr ? 0 : SSL_CIPHER_get_protocol_id(cipher);
}

Result<std::size_t> TlsStream::read(std::span<char> out) {
    if (out.empty()) return std::size_t{0};
    if (impl_->failure) return std::unexpected(Error::ReadFailed);
    // A peer that keeps the socket full never makes OpenSSL wait, so the
    // waits alone would never see the deadline or a stop pass.
    if (!platform::checkLimits(*impl_->limits)) {
        impl_->fail(Error::ReadFailed);
        return std::unexpected(Error::ReadFailed);
    }
    ERR_clear_error();
    std::size_t count = 0;
    int status = 0;
    do {
        status = SSL_read_ex(impl_->ssl.get(), out.data(), out.size(), &count);
    } while (status != 1 && awaitSocket(*impl_, status));
    if (status == 1 && !impl_->failure) return count;
    const int detail = SSL_get_error(impl_->ssl.get(), status);
    ERR_clear_error();
    // close_notify, or the connection's end taken as one.
    if (status != 1 && detail == SSL_ERROR_ZERO_RETURN && !impl_->failure) return std::size_t{0};
    impl_->fail(Error::ReadFailed);
    return std::unexpected(Error::ReadFailed);
}

Result<void> TlsStream::writeAll(std::string_view bytes) {
    while (!bytes.empty()) {
        if (impl_->failure) return std::unexpected(Error::WriteFailed);
        if (!platform::checkLimits(*impl_->limits)) {
            impl_->fail(Error::WriteFailed);
            return std::unexpected(Error::WriteFailed);
        }
        ERR_clear_error();
        std::size_t written = 0;
        int status = 0;
        do {
            // A retried write must repeat the same arguments, as it does here.
            status = SSL_write_ex(impl_->ssl.get(), bytes.data(), bytes.size(), &written);
        } while (status != 1 && awaitSocket(*impl_, status));
        ERR_clear_error();
        if (status != 1) {
            impl_->fail(Error::WriteFailed);
            return std::unexpected(Error::WriteFailed);
        }
        bytes.remove_prefix(written);
    }
    return {};
}

}  // namespace qs
