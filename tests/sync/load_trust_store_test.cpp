// Loading a trust store from its three sources in order, with temporary
// directories standing in for the system locations.
#include "sync/load_trust_store.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <unistd.h>
#include <functional>
#include <sys/stat.h>

#include <openssl/x509.h>

#include "support/certificates.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

using test::Certificate;

struct Authorities {
    Certificate a = test::makeCertificate({.common_name = "A", .ca = true});
    Certificate b = test::makeCertificate({.common_name = "B", .ca = true});
    Certificate c = test::makeCertificate({.common_name = "C", .ca = true});
    Certificate d = test::makeCertificate({.common_name = "D", .ca = true});
};

const Authorities& authorities() {
    static const Authorities instance;
    return instance;
}

std::string subjectDer(const Certificate& certificate) {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509_NAME(X509_get_subject_name(certificate.get()), &bytes);
    std::string out(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return out;
}

// The stand-ins for "/etc/ssl/certs", the ca-root-nss bundle and "/etc/ssl/cert.pem".
struct Sources {
    test::TempDir root;
    std::string directory = root / "certs";
    std::string bundle = root / "ca-root-nss.crt";
    std::string system = root / "cert.pem";
};

constexpr std::string_view kNoEnd = "-----BEGIN CERTIFICATE-----\nQUJD\n";

TEST(LoadTrustStore, SourcesAreTriedInOrderUntilOneSucceeds) {
    const Authorities& x = authorities();
    namespace fs = std::filesystem;
    struct Case {
        const char* name;
        std::function<void(const Sources&)> setup;
        std::vector<const Certificate*> expected;  // exactly these, nothing else
        bool loaded;
        std::string warning;
    };
    const Case cases[] = {
        {"directory files and links; other entries passed over",
         [&](const Sources& s) {
             fs::create_directory(s.directory);
             test::writeFile(s.directory + "/a.pem", x.a.pem());
             test::writeFile(s.root / "b-target.pem", x.b.pem());
             fs::create_symlink(s.root / "b-target.pem", s.directory + "/b.0");
             fs::create_directory(s.directory + "/sub");
             test::writeFile(s.directory + "/sub/c.pem", x.c.pem());
             ASSERT_EQ(::mkfifo((s.directory + "/fifo").c_str(), 0600), 0);
             test::writeFile(s.bundle, x.d.pem());
         },
         {&x.a, &x.b},
         true,
         ""},
        {"empty directory is a successful load",
         [&](const Sources& s) {
             fs::create_directory(s.directory);
             test::writeFile(s.bundle, x.c.pem());
             test::writeFile(s.system, x.d.pem());
         },
         {},
         true,
         ""},
        {"failing file: what was read stays and the bundle is added",
         [&](const Sources& s) {
             fs::create_directory(s.directory);
             test::writeFile(s.directory + "/broken.pem", x.a.pem() + std::string(kNoEnd));
             test::writeFile(s.bundle, x.c.pem());
             test::writeFile(s.system, x.d.pem());
         },
         {&x.a, &x.c},
         true,
         ""},
        {"dangling link stops the directory pass",
         [&](const Sources& s) {
             fs::create_directory(s.directory);
             fs::create_symlink(s.root / "gone.pem", s.directory + "/gone.0");
             test::writeFile(s.bundle, x.c.pem());
         },
         {&x.c},
         true,
         ""},
        {"no directory",
         [&](const Sources& s) { test::writeFile(s.bundle, x.c.pem() + x.a.pem()); },
         {&x.c, &x.a},
         true,
         ""},
        {"directory path names a file",
         [&](const Sources& s) {
             test::writeFile(s.directory, x.a.pem());
             test::writeFile(s.bundle, x.c.pem());
         },
         {&x.c},
         true,
         ""},
        {"directory and bundle fail: the system file alone",
         [&](const Sources& s) {
             fs::create_directory(s.directory);
             test::writeFile(s.directory + "/broken.pem", x.a.pem() + std::string(kNoEnd));
             test::writeFile(s.bundle, x.b.pem() + std::string(kNoEnd));
             test::writeFile(s.system, x.d.pem());
         },
         {&x.d},
         true,
         ""},
        {"every source missing",
         [](const Sources&) {},
         {},
         false,
         "warning(http): failed to load CA certificates: error.FileNotFound\n"},
        {"system file malformed after the others failed",
         [&](const Sources& s) {
             test::writeFile(
                 s.system,
                 x.a.pem() + "-----BEGIN CERTIFICATE-----\nQUJ=D\n-----END CERTIFICATE-----\n");
         },
         {&x.a},
         false,
         "warning(http): failed to load CA certificates: error.InvalidPadding\n"},
    };
    for (const Case& c : cases) {
        Sources sources;
        c.setup(sources);
        TrustStore store;
        test::StderrCapture capture;
        loadTrustStore(store, sources.directory, sources.bundle, sources.system);
        EXPECT_EQ(capture.text(), c.warning) << c.name;
        EXPECT_EQ(store.needsLoading(), !c.loaded) << c.name;
        EXPECT_EQ(store.size(), c.expected.size()) << c.name;
        for (const Certificate* expected : c.expected)
            EXPECT_NE(store.findBySubject(subjectDer(*expected)), nullptr) << c.name;
    }
}

TEST(LoadTrustStore, FailedCycleLoadLeavesTheClientLoadToTheSystemFile) {
    const Authorities& x = authorities();
    Sources sources;
    TrustStore store;
    {
        test::StderrCapture capture;
        loadTrustStore(store, sources.directory, sources.bundle, sources.system);
        EXPECT_EQ(capture.text(),
                  "warning(http): failed to load CA certificates: error.FileNotFound\n");
    }
    ASSERT_TRUE(store.needsLoading());
    EXPECT_EQ(reloadSystemTrustStore(store, sources.system).error(),
              Error::CertificateBundleLoadFailure);
    test::writeFile(sources.system, x.b.pem());
    ASSERT_TRUE(reloadSystemTrustStore(store, sources.system));
    EXPECT_FALSE(store.needsLoading());
    EXPECT_EQ(store.size(), 1u);
}

// Debian's layout: each certificate as a file, again as a hash link to it,
// and all of them once more in a bundle file of the same directory. Every
// certificate is kept once whatever order the listing gives, the first of a
// subject wins even with rivals and expired ones interleaved, and the
// fall-back after a failing file still starts from what was read.
TEST(LoadTrustStore, CertificatesReachedSeveralWaysAreKeptOnce) {
    const Authorities& x = authorities();
    const std::int64_t now = test::nowSeconds();
    const Certificate a_rival =
        test::makeCertificate({.common_name = "A", .key_variant = 1, .ca = true});
    const Certificate b_rival =
        test::makeCertificate({.common_name = "B", .key_variant = 1, .ca = true});
    const Certificate expired = test::makeCertificate(
        {.common_name = "E", .not_before = now - 7200, .not_after = now - 1, .ca = true});
    namespace fs = std::filesystem;

    for (const bool broken : {false, true}) {
        Sources sources;
        fs::create_directory(sources.directory);
        const std::string dir = sources.directory;
        test::writeFile(dir + "/A.pem", x.a.pem());
        fs::create_symlink("A.pem", dir + "/1a2b3c4d.0");
        ASSERT_EQ(::link((dir + "/A.pem").c_str(), (dir + "/A-hard.pem").c_str()), 0);
        test::writeFile(sources.root / "B.crt", x.b.pem());
        fs::create_symlink(sources.root / "B.crt", dir + "/B.pem");
        fs::create_symlink("B.pem", dir + "/5e6f7a8b.0");
        test::writeFile(dir + "/E.pem", expired.pem());
        fs::create_symlink("E.pem", dir + "/9c0d1e2f.0");
        // Each rival comes after the first of its subject in the bundle, so
        // the outcome does not depend on the listing order.
        test::writeFile(dir + "/ca-certificates.crt", x.a.pem() + expired.pem() + x.b.pem() +
                                                          a_rival.pem() + expired.pem() +
                                                          b_rival.pem() + x.a.pem());
        if (broken) test::writeFile(dir + "/zz-broken.pem", std::string(kNoEnd));
        test::writeFile(sources.bundle, x.c.pem() + x.a.pem() + a_rival.pem());

        TrustStore store;
        loadTrustStore(store, sources.directory, sources.bundle, sources.system);
        EXPECT_FALSE(store.needsLoading()) << broken;
        auto holds = [&](const Certificate& certificate) {
            const X509* found = store.findBySubject(subjectDer(certificate));
            return found != nullptr && X509_cmp(found, certificate.get()) == 0;
        };
        EXPECT_FALSE(holds(a_rival)) << broken;
        EXPECT_FALSE(holds(b_rival)) << broken;
        EXPECT_EQ(store.findBySubject(subjectDer(expired)), nullptr) << broken;
        if (!broken) {
            EXPECT_EQ(store.size(), 2u);
            EXPECT_TRUE(holds(x.a));
            EXPECT_TRUE(holds(x.b));
        } else {
            // The pass stopped at the broken file wherever the listing put
            // it; the bundle file adds C, and A if the pass had not.
            EXPECT_TRUE(holds(x.c));
            EXPECT_TRUE(holds(x.a));
            EXPECT_EQ(store.size(), holds(x.b) ? 3u : 2u);
        }
    }
}

// Links to things that are not files: a FIFO with no writer and a device
// without end. Reading either must neither block nor run on; each reads as
// what its size says (nothing), so the pass goes on and succeeds.
TEST(LoadTrustStore, LinksToFifosAndDevicesNeitherBlockNorRunOn) {
    const Authorities& x = authorities();
    Sources sources;
    std::filesystem::create_directory(sources.directory);
    test::writeFile(sources.directory + "/a.pem", x.a.pem());
    const std::string fifo = sources.root / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::filesystem::create_symlink(fifo, sources.directory + "/fifo.0");
    std::filesystem::create_symlink("/dev/zero", sources.directory + "/zero.0");
    test::writeFile(sources.bundle, x.c.pem());

    TrustStore store;
    auto load = std::async(std::launch::async, [&] {
        loadTrustStore(store, sources.directory, sources.bundle, sources.system);
    });
    if (load.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        // A blocked open returns once a writer appears; free it, then fail.
        const int writer = ::open(fifo.c_str(), O_WRONLY);
        load.wait();
        if (writer >= 0) ::close(writer);
        FAIL() << "loading blocked on the FIFO";
    }
    EXPECT_FALSE(store.needsLoading());
    EXPECT_EQ(store.size(), 1u);
    EXPECT_NE(store.findBySubject(subjectDer(x.a)), nullptr);
}

}  // namespace
}  // namespace qs
