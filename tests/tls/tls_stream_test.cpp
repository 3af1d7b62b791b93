// The TLS client against real OpenSSL servers on 127.0.0.1 and against
// hand-made server answers.
#include "tls/tls_stream.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tls/trust_store.hpp"
#include "support/certificates.hpp"
#include "support/temp_dir.hpp"
#include "support/tls_server.hpp"

namespace qs {
namespace {

using test::Certificate;
using test::CertificateRecipe;
using test::KeyKind;
using test::leafFor;
using test::makeCertificate;
using test::nowSeconds;
using test::Pki;
using test::pki;
using test::trust;

// ----- handshakes with a real server ----------------------------------------

struct Outcome {
    platform::Fd socket;
    std::unique_ptr<TlsStream> stream;
    Error reason = Error::Unexpected;
    std::optional<Error> error;
};

Outcome handshakeWith(std::uint16_t port, std::string_view host, const TrustStore& store) {
    Outcome outcome;
    outcome.socket = test::connectLoopback(port);
    auto stream = TlsStream::handshake(outcome.socket.get(), host, store, outcome.reason);
    if (stream) {
        outcome.stream = std::move(*stream);
    } else {
        outcome.error = stream.error();
        outcome.socket.reset();  // as the client does: the server sees the end at once
    }
    return outcome;
}

std::string readAll(TlsStream& stream, std::optional<Error>& failure) {
    std::string text;
    char buffer[1000];
    for (;;) {
        const auto n = stream.read(buffer);
        if (!n) {
            failure = n.error();
            return text;
        }
        if (*n == 0) return text;
        text.append(buffer, *n);
    }
}

TEST(TlsHandshake, ServersWithinTheProfileAreAccepted) {
    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    struct Case {
        const char* name;
        KeyKind leaf_key;
        int max_version;
        std::string groups;
        std::uint16_t version;
    };
    const Case cases[] = {
        {"TLS 1.3 ECDSA P-256", KeyKind::p256, TLS1_3_VERSION, "", 0x0304},
        {"TLS 1.3 ECDSA P-384", KeyKind::p384, TLS1_3_VERSION, "", 0x0304},
        {"TLS 1.3 RSA 1024", KeyKind::rsa1024, TLS1_3_VERSION, "", 0x0304},
        {"TLS 1.3 RSA 2048", KeyKind::rsa2048, TLS1_3_VERSION, "", 0x0304},
        {"TLS 1.3 RSA 3072", KeyKind::rsa3072, TLS1_3_VERSION, "", 0x0304},
        {"TLS 1.3 RSA 4096", KeyKind::rsa4096, TLS1_3_VERSION, "", 0x0304},
        {"TLS 1.2 RSA 2048", KeyKind::rsa2048, TLS1_2_VERSION, "", 0x0303},
        {"TLS 1.2 RSA over P-384", KeyKind::rsa2048, TLS1_2_VERSION, "P-384", 0x0303},
        // Our one key share is P-256; a server wanting another offered group
        // asks for it with a retry, which is let through for that alone.
        {"TLS 1.3 server with X25519 only", KeyKind::p256, TLS1_3_VERSION, "X25519", 0x0304},
        {"TLS 1.3 server with P-384 only", KeyKind::p256, TLS1_3_VERSION, "P-384", 0x0304},
    };
    for (const Case& c : cases) {
        test::TlsServerOptions options;
        options.chain = {leafFor({"localhost"}, c.leaf_key), p.intermediate};
        options.max_version = c.max_version;
        options.groups = c.groups;
        options.response = "hello";
        test::TlsTestServer server(std::move(options));
        Outcome outcome = handshakeWith(server.port(), "localhost", store);
        ASSERT_TRUE(outcome.stream) << c.name << ": " << errorName(outcome.reason);
        EXPECT_EQ(outcome.stream->protocolVersion(), c.version) << c.name;
        std::optional<Error> failure;
        EXPECT_EQ(readAll(*outcome.stream, failure), "hello") << c.name;
        EXPECT_FALSE(failure) << c.name;
        server.join();
        EXPECT_TRUE(server.handshakeSucceeded()) << c.name;
    }
}

TEST(TlsHandshake, ServersOutsideTheProfileAreRefused) {
    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    const std::int64_t now = nowSeconds();
    struct Case {
        const char* name;
        std::vector<Certificate> chain;
        std::string host;
        int min_version;
        int max_version;
        bool stateless;
        Error reason;
    };
    const Certificate good = leafFor({"localhost"});
    const Case cases[] = {
        {"wrong host",
         {good, p.intermediate},
         "other.test",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::CertificateHostMismatch},
        {"expired leaf",
         {makeCertificate(
              {.dns_names = {"localhost"}, .not_before = now - 7200, .not_after = now - 10},
              &p.intermediate),
          p.intermediate},
         "localhost",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::CertificateExpired},
        {"leaf not yet valid",
         {makeCertificate({.dns_names = {"localhost"}, .not_before = now + 3600}, &p.intermediate),
          p.intermediate},
         "localhost",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::CertificateNotYetValid},
        {"unknown root",
         {leafFor({"localhost"}, KeyKind::p256, &p.ec_root)},
         "localhost",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::TlsCertificateNotVerified},
        {"intermediate not sent",
         {good},
         "localhost",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::TlsCertificateNotVerified},
        {"chain in reverse order",
         {p.intermediate, good},
         "localhost",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::CertificateHostMismatch},
        {"Ed25519 handshake signature",
         {leafFor({"localhost"}, KeyKind::ed25519), p.intermediate},
         "localhost",
         TLS1_3_VERSION,
         TLS1_3_VERSION,
         false,
         Error::TlsBadSignatureScheme},
        {"RSA 1536 leaf",
         {leafFor({"localhost"}, KeyKind::rsa1536), p.intermediate},
         "localhost",
         TLS1_2_VERSION,
         TLS1_3_VERSION,
         false,
         Error::TlsBadRsaSignatureBitCount},
        {"TLS 1.2 with an ECDSA certificate",
         {good, p.intermediate},
         "localhost",
         TLS1_2_VERSION,
         TLS1_2_VERSION,
         false,
         Error::TlsAlert},
        {"cookie HelloRetryRequest",
         {good, p.intermediate},
         "localhost",
         TLS1_3_VERSION,
         TLS1_3_VERSION,
         true,
         Error::TlsUnexpectedMessage},
    };
    for (const Case& c : cases) {
        test::TlsServerOptions options;
        options.chain = c.chain;
        options.min_version = c.min_version;
        options.max_version = c.max_version;
        options.stateless = c.stateless;
        test::TlsTestServer server(std::move(options));
        const Outcome outcome = handshakeWith(server.port(), c.host, store);
        ASSERT_FALSE(outcome.stream) << c.name;
        EXPECT_EQ(outcome.error, Error::TlsInitializationFailed) << c.name;
        EXPECT_EQ(outcome.reason, c.reason) << c.name << ": " << errorName(outcome.reason);
        server.join();
        EXPECT_FALSE(server.handshakeSucceeded()) << c.name;
    }
}

TEST(TlsHandshake, Tls11OnlyServerIsRefused) {
    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    test::TlsServerOptions options;
    options.chain = {leafFor({"localhost"}, KeyKind::rsa2048), p.intermediate};
    options.min_version = TLS1_1_VERSION;
    options.max_version = TLS1_1_VERSION;
    options.tls12_ciphers = "DEFAULT:@SECLEVEL=0";
    test::TlsTestServer server(std::move(options));
    const Outcome outcome = handshakeWith(server.port(), "localhost", store);
    EXPECT_EQ(outcome.error, Error::TlsInitializationFailed);
    server.join();
    EXPECT_FALSE(server.handshakeSucceeded());
}

// A server whose choices all lie outside the offer cannot be talked to.
TEST(TlsHandshake, NothingInCommonMeansNoSession) {
    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    struct Case {
        const char* name;
        int max_version;
        std::string tls12_ciphers;
        std::string tls13_suites;
        std::string groups;
    };
    const Case cases[] = {
        {"TLS 1.2 CBC suite only", TLS1_2_VERSION, "ECDHE-RSA-AES128-SHA256", "", ""},
        {"TLS 1.2 without ECDHE", TLS1_2_VERSION, "AES128-GCM-SHA256", "", ""},
        {"TLS 1.3 CCM suite only", TLS1_3_VERSION, "", "TLS_AES_128_CCM_SHA256", ""},
        {"TLS 1.3 X448 only", TLS1_3_VERSION, "", "", "X448"},
        {"TLS 1.2 P-521 only", TLS1_2_VERSION, "", "", "P-521"},
    };
    for (const Case& c : cases) {
        test::TlsServerOptions options;
        options.chain = {leafFor({"localhost"}, KeyKind::rsa2048), p.intermediate};
        options.min_version = c.max_version;
        options.max_version = c.max_version;
        options.tls12_ciphers = c.tls12_ciphers;
        options.tls13_suites = c.tls13_suites;
        options.groups = c.groups;
        test::TlsTestServer server(std::move(options));
        const Outcome outcome = handshakeWith(server.port(), "localhost", store);
        EXPECT_EQ(outcome.error, Error::TlsInitializationFailed) << c.name;
        server.join();
        EXPECT_FALSE(server.handshakeSucceeded()) << c.name;
    }
}

TEST(TlsHandshake, EmptyStoreRefusesEveryServer) {
    TrustStore empty;
    test::TlsServerOptions options;
    options.chain = {leafFor({"localhost"}), pki().intermediate, pki().root};
    test::TlsTestServer server(std::move(options));
    const Outcome outcome = handshakeWith(server.port(), "localhost", empty);
    EXPECT_EQ(outcome.error, Error::TlsInitializationFailed);
    EXPECT_EQ(outcome.reason, Error::TlsCertificateNotVerified);
}

// ----- the stream after the handshake ----------------------------------------

std::string options_response(const std::string& body) {
    return "HTTP/1.1 200 OK\r\ncontent-length: 40000\r\n\r\n" + body;
}

TEST(TlsStreamData, RequestAndResponseWithEveryWayOfClosing) {
    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    struct Case {
        const char* name;
        test::ServerClose close;
        std::string raw_after;
        std::optional<Error> failure;
    };
    const Case cases[] = {
        {"close_notify", test::ServerClose::notify, "", std::nullopt},
        {"plain close without close_notify", test::ServerClose::silent, "", std::nullopt},
        {"reset", test::ServerClose::reset, "", Error::ReadFailed},
        // A record that does not authenticate.
        {"forged record", test::ServerClose::silent,
         std::string("\x17\x03\x03\x00\x20", 5) + std::string(32, 'f'), Error::ReadFailed},
        // A record longer than the protocol allows.
        {"oversized record", test::ServerClose::silent,
         std::string("\x17\x03\x03\x48\x01", 5) + std::string(18433, 'o'), Error::ReadFailed},
        // A plaintext alert where only protected records may come.
        {"stray alert", test::ServerClose::silent, std::string("\x15\x03\x03\x00\x02\x02\x50", 7),
         Error::ReadFailed},
    };
    const std::string request = "GET / HTTP/1.1\r\nhost: localhost\r\n\r\n";
    const std::string body(40000, 'b');  // several records
    for (const Case& c : cases) {
        test::TlsServerOptions options;
        options.chain = {leafFor({"localhost"}), p.intermediate};
        options.read_until = "\r\n\r\n";
        options.response = options_response(body);
        options.close = c.close;
        options.raw_after = c.raw_after;
        test::TlsTestServer server(std::move(options));
        Outcome outcome = handshakeWith(server.port(), "localhost", store);
        ASSERT_TRUE(outcome.stream) << c.name;
        ASSERT_TRUE(outcome.stream->writeAll(request)) << c.name;
        std::optional<Error> failure;
        const std::string received = readAll(*outcome.stream, failure);
        EXPECT_EQ(failure, c.failure) << c.name;
        // Whatever came before the failure was delivered (a reset may
        // discard what was still unread, so it proves nothing here).
        if (c.close != test::ServerClose::reset) {
            EXPECT_TRUE(received == options_response(body))
                << c.name << ": " << received.size() << " bytes";
        }
        // The end stays the end.
        char more[16];
        const auto again = outcome.stream->read(more);
        EXPECT_EQ(again.has_value(), !c.failure.has_value()) << c.name;
        server.join();
        EXPECT_EQ(server.received(), request) << c.name;
    }
}

TEST(TlsStreamData, WritingToAResetConnectionFails) {
    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    test::TlsServerOptions options;
    options.chain = {leafFor({"localhost"}), p.intermediate};
    options.close = test::ServerClose::reset;
    test::TlsTestServer server(std::move(options));
    Outcome outcome = handshakeWith(server.port(), "localhost", store);
    ASSERT_TRUE(outcome.stream);
    server.join();
    const std::string chunk(16384, 'x');
    Result<void> written;
    for (int i = 0; i < 50 && written; ++i) written = outcome.stream->writeAll(chunk);
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error(), Error::WriteFailed);
}

// A signal that interrupts the blocking socket calls must not break the
// handshake or a record read.
std::atomic<int> g_signals{0};
void countSignal(int) { g_signals.fetch_add(1); }

TEST(TlsStreamData, SignalsDuringHandshakeAndReadAreRidden) {
    struct sigaction action {};
    action.sa_handler = countSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: the calls see EINTR
    struct sigaction previous {};
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    g_signals = 0;

    const Pki& p = pki();
    TrustStore store;
    trust(store, p.root);
    const pthread_t client = pthread_self();
    test::TlsServerOptions options;
    options.chain = {leafFor({"localhost"}), p.intermediate};
    options.response = "after the signal";
    options.delay_ms = 300;
    options.during_delay = [client] {
        // Let the client block in recv first, then interrupt it.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pthread_kill(client, SIGUSR1);
    };
    test::TlsTestServer server(std::move(options));
    Outcome outcome = handshakeWith(server.port(), "localhost", store);
    ASSERT_TRUE(outcome.stream) << errorName(outcome.reason);
    std::optional<Error> failure;
    EXPECT_EQ(readAll(*outcome.stream, failure), "after the signal");
    EXPECT_FALSE(failure);
    server.join();
    EXPECT_EQ(g_signals.load(), 2);
    sigaction(SIGUSR1, &previous, nullptr);
}

// ----- what goes on the wire ------------------------------------------------

TEST(TlsClientHello, OfferFollowsTheProfile) {
    if (std::getenv("QS_TLS_TEST_CONFIG_CHILD") != nullptr) {
        // Load the hostile configuration the way any other OpenSSL user in
        // the process would, before the client gets its chance.
        ASSERT_EQ(OPENSSL_init_ssl(OPENSSL_INIT_LOAD_CONFIG, nullptr), 1);
    }
    for (const std::string host : {"Example.Test", "127.0.0.1"}) {
        test::RawTestServer server([](std::string_view) { return std::string(); });
        TrustStore store;
        const Outcome outcome = handshakeWith(server.port(), host, store);
        EXPECT_EQ(outcome.error, Error::TlsInitializationFailed);
        server.join();
        const auto hello = test::parseClientHello(server.firstRecord());

        EXPECT_EQ(hello.record_version, 0x0301);
        EXPECT_EQ(hello.legacy_version, 0x0303);
        EXPECT_EQ(hello.session_id.size(), 32u);
        EXPECT_EQ(hello.compression_methods, std::string(1, '\0'));
        // TLS 1.3 suites first (the library's layout), each group in our order;
        // 0x00FF is the library's renegotiation-protection signal.
        const std::vector<std::uint16_t> suites = {0x1303, 0x1301, 0x1302, 0xCCA8,
                                                   0xC02F, 0xC030, 0x00FF};
        EXPECT_EQ(hello.cipher_suites, suites);

        const auto body = [&](std::uint16_t type) -> std::optional<std::string> {
            for (std::size_t i = 0; i < hello.extension_types.size(); ++i)
                if (hello.extension_types[i] == type) return hello.extension_bodies[i];
            return std::nullopt;
        };
        // server_name: one host_name entry, byte for byte.
        const std::string name_entry = std::string(1, '\0') + static_cast<char>(host.size() >> 8) +
                                       static_cast<char>(host.size()) + host;
        const std::string list = std::string(1, static_cast<char>(name_entry.size() >> 8)) +
                                 static_cast<char>(name_entry.size()) + name_entry;
        EXPECT_EQ(body(0), list) << host;
        EXPECT_EQ(body(43), std::string("\x04\x03\x04\x03\x03", 5));  // TLS 1.3, TLS 1.2
        EXPECT_EQ(body(10), std::string("\x00\x06\x00\x17\x00\x18\x00\x1d", 8));
        EXPECT_EQ(body(13),
                  std::string("\x00\x1a\x04\x03\x05\x03\x04\x01\x05\x01\x06\x01\x08\x04\x08\x05"
                              "\x08\x06\x08\x09\x08\x0a\x08\x0b\x02\x01\x08\x07",
                              28));
        EXPECT_EQ(body(45), std::string("\x01\x01", 2));  // psk_dhe_ke
        const auto key_share = body(51);
        ASSERT_TRUE(key_share);
        EXPECT_EQ(key_share->substr(0, 6),
                  std::string("\x00\x45\x00\x17\x00\x41", 6));  // P-256, 65 bytes
        // Nothing else goes out (no ALPN, session ticket, early data,
        // status_request, extended master secret, encrypt-then-MAC,
        // renegotiation_info, padding), except ec_point_formats (11), which
        // the library always sends beside its ECDHE suites.
        const std::set<std::uint16_t> allowed = {0, 10, 11, 13, 43, 45, 51};
        for (const std::uint16_t type : hello.extension_types)
            EXPECT_TRUE(allowed.contains(type)) << type;
        EXPECT_EQ(
            std::set<std::uint16_t>(hello.extension_types.begin(), hello.extension_types.end())
                .size(),
            hello.extension_types.size());
    }
}

// The compatible profile adds the ECDSA-authenticated TLS 1.2 suites and
// orders the AEAD ciphers for the processor; everything else stays the
// baseline's, which the test above pins byte for byte.
TEST(TlsClientHello, CompatibleProfileAddsEcdsaSuitesInTheProcessorsOrder) {
    test::RawTestServer server([](std::string_view) { return std::string(); });
    TrustStore store;
    const platform::Fd socket = test::connectLoopback(server.port());
    TlsFailure failure;
    const auto stream = TlsStream::handshake(socket.get(), "example.test", store,
                                             TlsOptions{.profile = TlsProfile::compatible},
                                             failure);
    EXPECT_FALSE(stream);
    server.join();
    const auto hello = test::parseClientHello(server.firstRecord());
#if defined(__x86_64__) || defined(__i386__)
    const bool aes_first = __builtin_cpu_supports("aes") != 0;
#else
    const bool aes_first = false;
#endif
    const std::vector<std::uint16_t> aes_order = {0x1301, 0x1302, 0x1303, 0xC02B, 0xC02F,
                                                  0xC02C, 0xC030, 0xCCA9, 0xCCA8, 0x00FF};
    const std::vector<std::uint16_t> chacha_order = {0x1303, 0x1301, 0x1302, 0xCCA9, 0xCCA8,
                                                     0xC02B, 0xC02F, 0xC02C, 0xC030, 0x00FF};
    EXPECT_EQ(hello.cipher_suites, aes_first ? aes_order : chacha_order);
    EXPECT_EQ(hello.session_id.size(), 32u);
}

// A TLS 1.2 ServerHello: no extensions, the given random.
std::string serverHello12(std::string_view random) {
    std::string hello;
    hello += "\x03\x03";
    hello += random;
    hello += '\0';        // session id
    hello += "\xC0\x2F";  // ECDHE-RSA-AES128-GCM-SHA256
    hello += '\0';        // compression
    std::string message = "\x02";
    message += '\0';
    message += static_cast<char>(hello.size() >> 8);
    message += static_cast<char>(hello.size());
    message += hello;
    std::string record = "\x16\x03\x03";
    record += static_cast<char>(message.size() >> 8);
    record += static_cast<char>(message.size());
    return record + message;
}

TEST(TlsServerHello, DowngradeSentinelsAreRefused) {
    struct Case {
        std::string_view tail;
        bool refused;
    };
    const Case cases[] = {
        {std::string_view("DOWNGRD\x01", 8), true},
        {std::string_view("DOWNGRD\x00", 8), true},
        {std::string_view("DOWNGRD\x02", 8), false},
        {std::string_view("downgrd\x01", 8), false},
    };
    for (const Case& c : cases) {
        const std::string random = std::string(24, 'r') + std::string(c.tail);
        test::RawTestServer server([&](std::string_view) { return serverHello12(random); });
        TrustStore store;
        const Outcome outcome = handshakeWith(server.port(), "localhost", store);
        EXPECT_EQ(outcome.error, Error::TlsInitializationFailed);
        EXPECT_EQ(outcome.reason == Error::TlsIllegalParameter, c.refused)
            << errorName(outcome.reason);
        server.join();
    }
}

// A TLS 1.3 ServerHello choosing P-256 with a real point, echoing
// `session_id`.
std::string serverHello13(std::string_view session_id) {
    unsigned char point[65];
    std::size_t point_length = 0;
    EXPECT_EQ(EVP_PKEY_get_octet_string_param(test::testKey(KeyKind::p256, 5), "encoded-pub-key",
                                              point, sizeof point, &point_length),
              1);
    EXPECT_EQ(point_length, 65u);
    std::string hello = "\x03\x03" + std::string(32, 'r');
    hello += static_cast<char>(session_id.size());
    hello += session_id;
    hello += std::string("\x13\x01\x00", 3);  // TLS_AES_128_GCM_SHA256, no compression
    std::string extensions = std::string("\x00\x2b\x00\x02\x03\x04", 6);  // supported_versions: 1.3
    extensions += std::string("\x00\x33\x00\x45\x00\x17\x00\x41", 8);     // key_share: P-256
    extensions.append(reinterpret_cast<const char*>(point), point_length);
    hello += static_cast<char>(extensions.size() >> 8);
    hello += static_cast<char>(extensions.size());
    hello += extensions;
    std::string message = std::string("\x02\x00", 2);
    message += static_cast<char>(hello.size() >> 8);
    message += static_cast<char>(hello.size());
    message += hello;
    std::string record = "\x16\x03\x03";
    record += static_cast<char>(message.size() >> 8);
    record += static_cast<char>(message.size());
    return record + message;
}

TEST(TlsServerHello, Tls13ServerMustEchoTheLegacySessionId) {
    for (const bool echo : {true, false}) {
        test::RawTestServer server([&](std::string_view record) {
            std::string session_id = test::parseClientHello(record).session_id;
            if (!echo) session_id[0] = static_cast<char>(session_id[0] ^ 1);
            return serverHello13(session_id);
        });
        TrustStore store;
        const Outcome outcome = handshakeWith(server.port(), "localhost", store);
        // Either way the handshake ends (the server says nothing more), but
        // only a wrong echo is refused as an illegal parameter.
        EXPECT_EQ(outcome.error, Error::TlsInitializationFailed);
        EXPECT_EQ(outcome.reason == Error::TlsIllegalParameter, !echo) << errorName(outcome.reason);
        server.join();
    }
}

// The machine's OpenSSL configuration must not change the offer. This runs
// the offer test again in a fresh process whose OPENSSL_CONF narrows every
// client setting, loaded before the client is first used.
TEST(TlsClientHello, MachineConfigurationDoesNotChangeTheOffer) {
    if (std::getenv("QS_TLS_TEST_CONFIG_CHILD") != nullptr) GTEST_SKIP() << "in the child already";
    test::TempDir dir;
    const std::string config = dir / "openssl.cnf";
    test::writeFile(config,
                    "openssl_conf = openssl_init\n"
                    "[openssl_init]\nssl_conf = ssl_sect\n"
                    "[ssl_sect]\nsystem_default = system_default_sect\n"
                    "[system_default_sect]\n"
                    "MinProtocol = TLSv1.3\n"
                    "CipherString = DEFAULT:@SECLEVEL=4\n"
                    "Ciphersuites = TLS_AES_256_GCM_SHA384\n"
                    "Groups = P-521\n"
                    "SignatureAlgorithms = RSA+SHA512\n"
                    "Options = -MiddleboxCompat,SessionTicket\n");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        setenv("OPENSSL_CONF", config.c_str(), 1);
        setenv("QS_TLS_TEST_CONFIG_CHILD", "1", 1);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        execl("/proc/self/exe", "quillstead_tests",
              "--gtest_filter=TlsClientHello.OfferFollowsTheProfile:TlsClientHello."
              "ConfigurationWasLoaded",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    for (int waited = 0; waited < 600; ++waited) {  // at most a minute
        if (waitpid(child, &status, WNOHANG) == child) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (waited == 599) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
        }
    }
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// In the child of the test above: the hostile configuration did take effect
// on contexts the client does not configure itself.
TEST(TlsClientHello, ConfigurationWasLoaded) {
    if (std::getenv("QS_TLS_TEST_CONFIG_CHILD") == nullptr) GTEST_SKIP() << "only in the child";
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    ASSERT_NE(ctx, nullptr);
    EXPECT_EQ(SSL_CTX_get_min_proto_version(ctx), TLS1_3_VERSION);
    SSL_CTX_free(ctx);
}

}  // namespace
}  // namespace qs
