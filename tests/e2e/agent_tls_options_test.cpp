// The built agent against nginx with the TLS settings operators meet:
// a CA file of the bundle's own, client certificates checked by the server,
// a TLS 1.2 server with an ECDSA certificate, a certificate for an IP
// address, a pinned self-signed certificate, signed metadata fetched under
// the same settings as its payload, and the failure line each
// refusal gives.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/stat.h>

#include <openssl/bio.h>
#include <openssl/pem.h>

#include "support/agent_run.hpp"
#include "support/certificates.hpp"
#include "support/nginx_server.hpp"
#include "support/process.hpp"
#include "support/signing.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {
namespace {

using namespace std::chrono_literals;

std::string keyPem(EVP_PKEY* key) {
    BIO* bio = BIO_new(BIO_s_mem());
    PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr, nullptr);
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    std::string text(data, static_cast<std::size_t>(length));
    BIO_free(bio);
    return text;
}

// A certificate and its key as the PEM files a server or the agent reads;
// the key readable by its owner alone.
struct PemFiles {
    std::string certificate;
    std::string key;
};

PemFiles writePem(const std::string& dir, const std::string& name, const Certificate& leaf,
                  const Certificate* issuer = nullptr) {
    PemFiles files{dir + "/" + name + ".pem", dir + "/" + name + ".key"};
    writeFile(files.certificate, leaf.pem() + (issuer != nullptr ? issuer->pem() : ""));
    writeFile(files.key, keyPem(leaf.key));
    ::chmod(files.key.c_str(), 0600);
    return files;
}

// Debian's nginx speaks only up to TLS 1.2 unless told otherwise, where an
// ECDSA certificate needs the compatible profile; tests about other things
// let it speak TLS 1.3 too.
constexpr const char* kBothVersions = "    ssl_protocols TLSv1.2 TLSv1.3;";

class AgentTlsOptions : public ::testing::Test {
protected:
    void SetUp() override {
        if (!NginxServer::available()) GTEST_SKIP() << "nginx is not installed";
        std::filesystem::create_directories(dir_ / "www");
        writeFile(dir_ / "www/motd", "hello over tls\n");
        writeFile(ca_file_, root_.pem());
    }

    // One `once` pass of a raw bundle with `keys` added; its exit status and
    // standard error.
    ProcessResult once(const std::string& url, const std::string& keys, const std::string& name) {
        const std::string target = dir_ / ("target-" + name);
        std::filesystem::create_directories(target);
        const std::string config = dir_ / (name + ".conf");
        writeFile(config, "[bundle.motd]\nurl = " + url + "\ntarget_dir = " + target +
                              "\nformat = raw\nfilename = motd\n" + keys);
        return runProcess(quillsteadBinary(), {.args = {"-c", config, "once"}});
    }

    static std::string failureLine(const std::string& reason) {
        return "error(quillstead): [motd] fetch failed: " + reason + "\n";
    }

    TempDir dir_;
    Certificate root_ = makeCertificate(
        {.common_name = "tls options root", .key = KeyKind::rsa2048, .ca = true});
    std::string ca_file_ = dir_ / "ca.pem";
};

TEST_F(AgentTlsOptions, ClientCertificatesAcceptedRefusedAndMissing) {
    const Certificate client_ca = makeCertificate(
        {.common_name = "client CA", .key = KeyKind::p256, .key_variant = 3, .ca = true});
    const Certificate stranger_ca = makeCertificate(
        {.common_name = "stranger CA", .key = KeyKind::p384, .ca = true});
    const PemFiles server = writePem(
        dir_.str(), "server",
        makeCertificate({.common_name = "localhost", .dns_names = {"localhost"},
                         .key = KeyKind::rsa2048, .key_variant = 1},
                        &root_));
    const PemFiles rsa_client = writePem(
        dir_.str(), "rsa-client",
        makeCertificate({.common_name = "agent", .key = KeyKind::rsa2048, .key_variant = 2},
                        &client_ca));
    const PemFiles ec_client = writePem(
        dir_.str(), "ec-client",
        makeCertificate({.common_name = "agent", .key = KeyKind::p256, .key_variant = 4},
                        &client_ca));
    const PemFiles stranger = writePem(
        dir_.str(), "stranger",
        makeCertificate({.common_name = "agent", .key = KeyKind::p256, .key_variant = 5},
                        &stranger_ca));
    writeFile(dir_ / "client-ca.pem", client_ca.pem());
    NginxServer nginx(dir_ / "www",
                      {.certificate_file = server.certificate,
                       .key_file = server.key,
                       .server_directives = "    ssl_client_certificate " + (dir_ / "client-ca.pem") +
                                            ";\n    ssl_verify_client on;"});
    const std::string url = nginx.url("/motd");
    const auto identity = [](const PemFiles& files) {
        return "client_cert = " + files.certificate + "\nclient_key = " + files.key + "\n";
    };
    const std::string trust = "ca_file = " + ca_file_ + "\n";

    struct Case {
        const char* name;
        std::string keys;
        std::optional<std::string> failure;  // nothing: installed
    };
    const Case cases[] = {
        {"rsa", trust + identity(rsa_client), std::nullopt},
        {"ecdsa", trust + identity(ec_client), std::nullopt},
        {"from another CA", trust + identity(stranger),
         "TLS: client certificate refused by the server"},
        {"none", trust, "TLS: client certificate refused by the server"},
        // In [global], as the default of every bundle.
        {"global", "[global]\n" + trust + identity(ec_client), std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        // A [global] section must come first in the file.
        std::string keys = c.keys;
        const ProcessResult result =
            std::string_view(c.name) == "global"
                ? [&] {
                      const std::string target = dir_ / "target-global";
                      std::filesystem::create_directories(target);
                      const std::string config = dir_ / "global.conf";
                      writeFile(config, keys + "[bundle.motd]\nurl = " + url + "\ntarget_dir = " +
                                            target + "\nformat = raw\nfilename = motd\n");
                      return runProcess(quillsteadBinary(), {.args = {"-c", config, "once"}});
                  }()
                : once(url, keys, c.name);
        if (c.failure) {
            EXPECT_EQ(result.exit_status, 2) << result.err;
            EXPECT_NE(result.err.find(failureLine(*c.failure)), std::string::npos) << result.err;
        } else {
            EXPECT_EQ(result.exit_status, 0) << result.err;
            EXPECT_NE(result.err.find("(raw)"), std::string::npos) << result.err;
        }
    }

    // A key that others may read is refused: by check, at start-up, and by
    // every fetch, before anything goes over the network.
    ::chmod(ec_client.key.c_str(), 0640);
    const std::string config = dir_ / "open-key.conf";
    writeFile(config, "[bundle.motd]\nurl = " + url + "\ntarget_dir = " + (dir_ / "target-open") +
                          "\nformat = raw\nfilename = motd\n" + trust + identity(ec_client));
    const ProcessResult checked = runProcess(quillsteadBinary(), {.args = {"-c", config, "check"}});
    EXPECT_EQ(checked.exit_status, 1);
    EXPECT_NE(checked.out.find("client_key = '" + ec_client.key +
                               "': is readable by group or others"),
              std::string::npos)
        << checked.out;
    std::filesystem::create_directories(dir_ / "target-open");
    const ProcessResult refused = runProcess(quillsteadBinary(), {.args = {"-c", config, "once"}});
    EXPECT_EQ(refused.exit_status, 2);
    EXPECT_NE(refused.err.find("error(quillstead): [motd] client_key " + ec_client.key +
                               " is readable by group or others; refused"),
              std::string::npos)
        << refused.err;
    EXPECT_NE(refused.err.find(failureLine("TLS: client key " + ec_client.key +
                                           " is readable by group or others")),
              std::string::npos)
        << refused.err;
}

// Signed metadata and its signature come from the same server as the
// payload, and need its CA file and client certificate as much.
TEST_F(AgentTlsOptions, SignedMetadataIsFetchedWithTheBundlesCaFileAndClientCertificate) {
    const Certificate client_ca = makeCertificate(
        {.common_name = "client CA", .key = KeyKind::p256, .key_variant = 3, .ca = true});
    const PemFiles server = writePem(
        dir_.str(), "server",
        makeCertificate({.common_name = "localhost", .dns_names = {"localhost"},
                         .key = KeyKind::rsa2048, .key_variant = 1},
                        &root_));
    const PemFiles client = writePem(
        dir_.str(), "client",
        makeCertificate({.common_name = "agent", .key = KeyKind::p256, .key_variant = 4},
                        &client_ca));
    writeFile(dir_ / "client-ca.pem", client_ca.pem());
    std::filesystem::create_directories(dir_ / "keys");
    const SigningKey key = makeSigningKey(dir_ / "keys", "key", SigningKind::signify);
    const ProcessResult printed = runProcess(
        quillsteadBinary(),
        {.args = {"metadata", "--bundle", "motd", "--serial", "1", "--expires", "1d", dir_ / "www/motd"}});
    ASSERT_EQ(printed.exit_status, 0) << printed.err;
    writeFile(dir_ / "www/motd.meta", printed.out);
    signFile(key, dir_ / "www/motd.meta");
    NginxServer nginx(dir_ / "www",
                      {.certificate_file = server.certificate,
                       .key_file = server.key,
                       .server_directives = "    ssl_client_certificate " + (dir_ / "client-ca.pem") +
                                            ";\n    ssl_verify_client on;"});
    const ProcessResult result =
        once(nginx.url("/motd"),
             "ca_file = " + ca_file_ + "\nclient_cert = " + client.certificate + "\nclient_key = " +
                 client.key + "\npublic_key = " + key.public_path + "\nmetadata_url = motd.meta\n",
             "metadata");
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_NE(result.err.find("[motd] metadata signature verified"), std::string::npos) << result.err;
    EXPECT_EQ(readFile(dir_ / "target-metadata/motd"), "hello over tls\n");
}

TEST_F(AgentTlsOptions, ProfilesAgainstATls12ServerWithAnEcdsaCertificateAndAnAddressCertificate) {
    const PemFiles ecdsa = writePem(
        dir_.str(), "ecdsa",
        makeCertificate({.common_name = "localhost", .dns_names = {"localhost"},
                         .key = KeyKind::p256, .key_variant = 6},
                        &root_));
    NginxServer tls12(dir_ / "www", {.certificate_file = ecdsa.certificate,
                                     .key_file = ecdsa.key,
                                     .server_directives = "    ssl_protocols TLSv1.2;"});
    // Only an address, no DNS name and no commonName to fall back on.
    const PemFiles address = writePem(
        dir_.str(), "address",
        makeCertificate({.ip_addresses = {"127.0.0.1"}, .key = KeyKind::rsa2048, .key_variant = 7},
                        &root_));
    NginxServer by_address(dir_ / "www",
                           {.certificate_file = address.certificate, .key_file = address.key});
    const std::string address_url = "https://127.0.0.1:" + std::to_string(by_address.port()) + "/motd";
    const std::string trust = "ca_file = " + ca_file_ + "\n";

    struct Case {
        const char* name;
        std::string url;
        std::string keys;
        std::optional<std::string> failure;
    };
    const Case cases[] = {
        {"tls12-baseline", tls12.url("/motd"), trust,
         "TLS: no shared cipher (a TLS 1.2 server with an ECDSA certificate needs tls_profile = "
         "compatible)"},
        {"tls12-compatible", tls12.url("/motd"), trust + "tls_profile = compatible\n", std::nullopt},
        {"address-baseline", address_url, trust, "TLS: host name mismatch (127.0.0.1)"},
        {"address-compatible", address_url, trust + "tls_profile = compatible\n", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ProcessResult result = once(c.url, c.keys, c.name);
        if (c.failure) {
            EXPECT_EQ(result.exit_status, 2) << result.err;
            EXPECT_NE(result.err.find(failureLine(*c.failure)), std::string::npos) << result.err;
        } else {
            EXPECT_EQ(result.exit_status, 0) << result.err;
        }
    }
}

TEST_F(AgentTlsOptions, EachRefusalNamesItsCause) {
    const std::int64_t now = nowSeconds();
    const Certificate pinned = makeCertificate(
        {.common_name = "localhost", .dns_names = {"localhost"}, .key = KeyKind::p256,
         .key_variant = 8});
    const Certificate expired = makeCertificate(
        {.common_name = "localhost", .dns_names = {"localhost"},
         .not_before = now - 7200, .not_after = 1'700'000'000, .key = KeyKind::p256,
         .key_variant = 9},
        &root_);
    const Certificate other_name = makeCertificate(
        {.common_name = "other.test", .dns_names = {"other.test"}, .key = KeyKind::p256,
         .key_variant = 10},
        &root_);
    writeFile(dir_ / "pinned-ca.pem", pinned.pem());
    struct Case {
        const char* name;
        Certificate served;
        std::string ca_file;
        std::optional<std::string> failure;
    };
    const Case cases[] = {
        // A self-signed server certificate, the CA file's only entry.
        {"pinned", pinned, dir_ / "pinned-ca.pem", std::nullopt},
        {"untrusted", pinned, ca_file_, "TLS: not trusted (issuer CN=localhost,O=quillstead tests)"},
        {"expired", expired, ca_file_, "TLS: certificate expired at 2023-11-14 22:13:20 UTC"},
        {"other name", other_name, ca_file_, "TLS: host name mismatch (localhost)"},
        {"missing CA file", pinned, dir_ / "missing.pem",
         "TLS: CA file " + (dir_ / "missing.pem") + ": error.FileNotFound"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const PemFiles served = writePem(dir_.str(), "served", c.served);
        NginxServer nginx(dir_ / "www", {.certificate_file = served.certificate,
                                         .key_file = served.key,
                                         .server_directives = kBothVersions});
        const ProcessResult result = once(nginx.url("/motd"), "ca_file = " + c.ca_file + "\n", c.name);
        if (c.failure) {
            EXPECT_EQ(result.exit_status, 2) << result.err;
            EXPECT_NE(result.err.find(failureLine(*c.failure)), std::string::npos) << result.err;
        } else {
            EXPECT_EQ(result.exit_status, 0) << result.err;
        }
    }
}

TEST_F(AgentTlsOptions, ACaFileReplacedBetweenPollsIsReadAgain) {
    const Certificate other_root = makeCertificate(
        {.common_name = "not the root", .key = KeyKind::p384, .key_variant = 2, .ca = true});
    const PemFiles server = writePem(
        dir_.str(), "server",
        makeCertificate({.common_name = "localhost", .dns_names = {"localhost"},
                         .key = KeyKind::p256, .key_variant = 11},
                        &root_));
    NginxServer nginx(dir_ / "www", {.certificate_file = server.certificate,
                                     .key_file = server.key,
                                     .server_directives = kBothVersions});
    writeFile(ca_file_, other_root.pem());
    const std::string target = dir_ / "target";
    std::filesystem::create_directories(target);
    const std::string config = dir_ / "agent.conf";
    writeFile(config, "[bundle.motd]\nurl = " + nginx.url("/motd") + "\ntarget_dir = " + target +
                          "\nformat = raw\nfilename = motd\npoll_interval = 1\nca_file = " +
                          ca_file_ + "\n");
    RunningProcess agent(quillsteadBinary(), {.args = {"-c", config}});
    ASSERT_TRUE(agent.waitForStderr("fetch failed: TLS: not trusted", 20s)) << agent.stderrSoFar();
    // Replaced the way a deployment tool does it: written beside, renamed over.
    writeFile(dir_ / "ca.new", root_.pem());
    std::filesystem::rename(dir_ / "ca.new", ca_file_);
    ASSERT_TRUE(agent.waitForStderr("(raw)", 20s)) << agent.stderrSoFar();
    agent.signal(SIGTERM);
    const ProcessResult result = agent.wait(10s);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(readFile(target + "/motd"), "hello over tls\n");
}

}  // namespace
}  // namespace qs::test
