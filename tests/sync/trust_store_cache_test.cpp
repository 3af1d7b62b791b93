// Trust stores kept across fetches: what makes a kept store be built again,
// with temporary files standing in for the system's sources.
#include "sync/trust_store_cache.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "support/certificates.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

using test::Certificate;
namespace fs = std::filesystem;

struct Fixture {
    test::TempDir root;
    SystemCertificateSources sources{root / "certs", root / "ca-root-nss.crt", root / "cert.pem"};
    Certificate a = test::makeCertificate({.common_name = "cache A", .ca = true});
    Certificate b = test::makeCertificate({.common_name = "cache B", .ca = true});
    TrustStoreCache cache{sources};

    Fixture() {
        fs::create_directory(sources.directory);
        test::writeFile(sources.directory + "/a.pem", a.pem());
    }
};

// A change must show even when it lands within the clock tick of the last
// one, so each change also moves the time by hand.
void touchLater(const std::string& path) {
    fs::last_write_time(path, fs::last_write_time(path) + std::chrono::seconds(2));
}

TEST(TrustStoreCache, TheSystemStoreIsKeptUntilASourceChanges) {
    struct Case {
        const char* name;
        std::function<void(Fixture&)> change;  // null: nothing changes
        bool rebuilt;
    };
    const Case cases[] = {
        {"nothing changed", nullptr, false},
        {"a file added to the directory",
         [](Fixture& f) {
             test::writeFile(f.sources.directory + "/b.pem", f.b.pem());
             touchLater(f.sources.directory);
         },
         true},
        {"the fall-back bundle appears",
         [](Fixture& f) { test::writeFile(f.sources.bundle, f.b.pem()); }, true},
        {"the system file replaced by another of the same size",
         [](Fixture& f) {
             test::writeFile(f.sources.system, "x");
             (void)f.cache.system();  // kept with this file
             test::writeFile(f.root / "other", "y");
             fs::rename(f.root / "other", f.sources.system);
         },
         true},
        {"the directory's time moved", [](Fixture& f) { touchLater(f.sources.directory); }, true},
        {"told to forget (SIGHUP)", [](Fixture& f) { f.cache.forget(); }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fixture f;
        const auto first = f.cache.system();
        ASSERT_FALSE(first->needsLoading());
        if (c.change) c.change(f);
        const auto builds = f.cache.builds();
        const auto second = f.cache.system();
        EXPECT_EQ(f.cache.builds() != builds, c.rebuilt);
        EXPECT_EQ(second != first, c.rebuilt);
        // Kept again once built.
        EXPECT_EQ(f.cache.system(), second);
    }
}

TEST(TrustStoreCache, AFailedSystemLoadIsTriedAndReportedAtEveryUse) {
    Fixture f;
    fs::remove_all(f.sources.directory);
    for (int poll = 0; poll < 2; ++poll) {
        test::StderrCapture capture;
        const auto store = f.cache.system();
        EXPECT_TRUE(store->needsLoading());
        EXPECT_EQ(capture.text(),
                  "warning(http): failed to load CA certificates: error.FileNotFound\n");
    }
    EXPECT_EQ(f.cache.builds(), 2u);
    test::writeFile(f.sources.system, f.b.pem());
    EXPECT_FALSE(f.cache.system()->needsLoading());
}

TEST(TrustStoreCache, ACaFileIsReadAgainWhenReplacedOnDisk) {
    Fixture f;
    const std::string path = f.root / "ca.pem";
    EXPECT_EQ(f.cache.caFile(path).error(), Error::FileNotFound);
    EXPECT_EQ(f.cache.caFile(path).error(), Error::FileNotFound);

    test::writeFile(path, f.a.pem());
    const auto first = f.cache.caFile(path);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)->size(), 1u);
    EXPECT_EQ(*f.cache.caFile(path), *first);

    // Replaced the way tools do it: a new file renamed over the old one.
    test::writeFile(f.root / "ca.new", f.a.pem() + f.b.pem());
    fs::rename(f.root / "ca.new", path);
    const auto second = f.cache.caFile(path);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)->size(), 2u);
    // The system store is a separate entry, untouched by the CA file's.
    EXPECT_FALSE(f.cache.system()->needsLoading());
    test::writeFile(path, "-----BEGIN CERTIFICATE-----\nQUJD\n");
    touchLater(path);
    EXPECT_EQ(f.cache.caFile(path).error(), Error::MissingEndCertificateMarker);
}

TEST(TrustStoreCache, AStoreIsBuiltAgainOnceOneOfItsCertificatesExpired) {
    Fixture f;
    const std::int64_t now = test::nowSeconds();
    const Certificate brief = test::makeCertificate(
        {.common_name = "brief", .not_before = now - 60, .not_after = now + 1, .ca = true});
    const std::string path = f.root / "ca.pem";
    test::writeFile(path, f.a.pem() + brief.pem());
    const auto first = f.cache.caFile(path);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)->size(), 2u);
    EXPECT_EQ((*first)->validUntil(), now + 1);
    while (test::nowSeconds() <= now + 1) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto second = f.cache.caFile(path);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)->size(), 1u);
}

}  // namespace
}  // namespace qs
