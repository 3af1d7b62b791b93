// The trust store's file reading: which certificates are kept, and the
// client's own reload.
#include "tls/trust_store.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include <openssl/x509.h>

#include "tls/pem.hpp"
#include "support/certificates.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

using test::Certificate;
using test::KeyKind;
using test::makeCertificate;
using test::nowSeconds;

std::string subjectDer(const Certificate& certificate) {
    unsigned char* bytes = nullptr;
    const int length = i2d_X509_NAME(X509_get_subject_name(certificate.get()), &bytes);
    std::string out(reinterpret_cast<char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    return out;
}

// The store holds exactly this certificate (not merely one of its subject).
bool holds(const TrustStore& store, const Certificate& certificate) {
    const x509_st* found = store.findBySubject(subjectDer(certificate));
    return found != nullptr && X509_cmp(found, certificate.get()) == 0;
}

Certificate authority(const std::string& name, int variant = 0) {
    return makeCertificate(
        {.common_name = name, .key = KeyKind::p256, .key_variant = variant, .ca = true});
}

// A certificate whose signature algorithm OpenSSL does not know: the
// sha256WithRSAEncryption identifier (…01 01 0B) turned into …01 01 7F.
std::string withUnknownSignatureAlgorithm(const Certificate& rsa_signed) {
    std::string der = rsa_signed.der();
    const std::string oid("\x06\x09\x2A\x86\x48\x86\xF7\x0D\x01\x01\x0B", 11);
    int replaced = 0;
    for (std::size_t at = der.find(oid); at != std::string::npos; at = der.find(oid, at + 1)) {
        der[at + oid.size() - 1] = '\x7F';
        ++replaced;
    }
    EXPECT_EQ(replaced, 2);
    return test::pemFromDer(der);
}

TEST(TrustStoreAdd, KeepsValidFirstComersAndSkipsTheRest) {
    const std::int64_t now = nowSeconds();
    const Certificate a = authority("A");
    const Certificate a_again = authority("A", 1);  // same subject, other key
    const Certificate b = authority("B");
    const Certificate expired = makeCertificate(
        {.common_name = "Expired", .not_before = now - 7200, .not_after = now - 1, .ca = true});
    const Certificate ends_now = makeCertificate(
        {.common_name = "Ends now", .not_before = now - 7200, .not_after = now, .ca = true});
    const Certificate future = makeCertificate({.common_name = "Future",
                                                .not_before = now + 86400,
                                                .not_after = now + 2 * 86400,
                                                .ca = true});
    const Certificate rsa_root =
        makeCertificate({.common_name = "Odd", .key = KeyKind::rsa2048, .ca = true});

    TrustStore store;
    const std::string bundle =
        "leading text\n" + a.pem() + "between\n" + a_again.pem() + expired.pem() + ends_now.pem() +
        future.pem() + withUnknownSignatureAlgorithm(rsa_root) + b.pem() + "trailing text\n";
    ASSERT_TRUE(addPemCertificates(store, bundle, now));
    EXPECT_EQ(store.size(), 4u);
    EXPECT_TRUE(holds(store, a));  // the first of its subject wins
    EXPECT_FALSE(holds(store, a_again));
    EXPECT_FALSE(holds(store, expired));   // validity ended before now
    EXPECT_TRUE(holds(store, ends_now));   // ...but not this one
    EXPECT_TRUE(holds(store, future));     // not yet valid is kept
    EXPECT_FALSE(holds(store, rsa_root));  // unknown algorithm: skipped, not fatal
    EXPECT_TRUE(holds(store, b));

    // Across files too: what is in the store wins.
    ASSERT_TRUE(addPemCertificates(store, a_again.pem(), now));
    EXPECT_TRUE(holds(store, a));
    EXPECT_EQ(store.size(), 4u);
}

// Certificate bytes met a second time are not parsed again; they must end
// as they would have: the first of a subject still wins, expired ones are
// judged again by the clock of their file, and emptying the store forgets.
TEST(TrustStoreAdd, RepeatedBytesEndAsTheyDidTheFirstTime) {
    const std::int64_t now = nowSeconds();
    const Certificate a = authority("A");
    const Certificate a_again = authority("A", 1);
    const Certificate b = authority("B");
    const Certificate b_again = authority("B", 1);
    const Certificate expired = makeCertificate(
        {.common_name = "Expired", .not_before = now - 7200, .not_after = now - 1, .ca = true});
    const std::string unknown = withUnknownSignatureAlgorithm(
        makeCertificate({.common_name = "Odd", .key = KeyKind::rsa2048, .ca = true}));

    TrustStore store;
    ASSERT_TRUE(addPemCertificates(store,
                                   a.pem() + expired.pem() + unknown + a.pem() + a_again.pem() +
                                       expired.pem() + b.pem() + unknown + a.pem() +
                                       b_again.pem() + b.pem(),
                                   now));
    EXPECT_EQ(store.size(), 2u);
    EXPECT_TRUE(holds(store, a));
    EXPECT_TRUE(holds(store, b));
    EXPECT_FALSE(holds(store, expired));

    // A later file repeating them, the rival of a subject first.
    ASSERT_TRUE(addPemCertificates(store, b_again.pem() + a_again.pem() + a.pem() + b.pem(), now));
    EXPECT_EQ(store.size(), 2u);
    EXPECT_TRUE(holds(store, a));
    EXPECT_TRUE(holds(store, b));

    // Expiry is judged by each file's own clock reading, not remembered.
    ASSERT_TRUE(addPemCertificates(store, expired.pem(), now - 60));
    EXPECT_TRUE(holds(store, expired));
    EXPECT_EQ(store.size(), 3u);

    // Once emptied, the store has met nothing: the rivals now come first.
    store.clear();
    ASSERT_TRUE(addPemCertificates(store, a_again.pem() + a.pem() + b_again.pem(), now));
    EXPECT_EQ(store.size(), 2u);
    EXPECT_TRUE(holds(store, a_again));
    EXPECT_TRUE(holds(store, b_again));
    EXPECT_FALSE(holds(store, a));

    // Bytes that failed are never taken as met: they fail each time.
    std::string truncated = b.der();
    truncated.resize(truncated.size() - 10);
    for (int attempt = 0; attempt < 2; ++attempt) {
        const auto added = addPemCertificates(store, test::pemFromDer(truncated), now);
        ASSERT_FALSE(added) << attempt;
        EXPECT_EQ(added.error(), Error::CertificateMalformed) << attempt;
    }
}

// Keys are decoded when a root is looked up, not while loading: a root whose
// key bits do not decode loads, but is never handed out for verification.
TEST(TrustStoreAdd, RootWhoseKeyDoesNotDecodeIsNeverFound) {
    const Certificate broken_key = makeCertificate(
        {.common_name = "Broken key", .ca = true, .raw_public_key = std::string(270, '\x5A')});
    const Certificate b = authority("B");
    TrustStore store;
    ASSERT_TRUE(addPemCertificates(store, broken_key.pem() + b.pem(), nowSeconds()));
    EXPECT_EQ(store.findBySubject(subjectDer(broken_key)), nullptr);
    EXPECT_EQ(store.findBySubject(subjectDer(broken_key)), nullptr);  // asked again
    EXPECT_TRUE(holds(store, b));
}

TEST(TrustStoreAdd, FailingFileKeepsWhatCameBeforeTheFailure) {
    const Certificate a = authority("A");
    const Certificate b = authority("B");
    std::string truncated = a.der();
    truncated.resize(truncated.size() - 10);
    std::string trailing = a.der() + "xx";
    const std::string begin = "-----BEGIN CERTIFICATE-----\n";
    const std::string end = "-----END CERTIFICATE-----\n";
    struct Case {
        const char* name;
        std::string bad_block;  // followed by b's block
        Error error;
    };
    const Case cases[] = {
        {"missing end marker", begin + "QUJD\n-----END CERTIFICATE----\n",
         Error::MissingEndCertificateMarker},
        // The next block's end marker closes this one, and its BEGIN line
        // is then text inside the base64.
        {"end marker only further on", begin + "QUJD\n", Error::InvalidCharacter},
        {"bad character", begin + "QU*D\n" + end, Error::InvalidCharacter},
        {"bad padding", begin + "QUJDQ\n" + end, Error::InvalidPadding},
        {"truncated DER", test::pemFromDer(truncated), Error::CertificateMalformed},
        {"bytes after the certificate", test::pemFromDer(trailing), Error::CertificateMalformed},
        {"not a certificate", begin + "QUJD\n" + end, Error::CertificateMalformed},
    };
    for (const Case& c : cases) {
        TrustStore store;
        const bool last = c.error == Error::MissingEndCertificateMarker;
        const auto added =
            addPemCertificates(store, a.pem() + c.bad_block + (last ? "" : b.pem()), nowSeconds());
        ASSERT_FALSE(added) << c.name;
        EXPECT_EQ(added.error(), c.error) << c.name;
        EXPECT_TRUE(holds(store, a)) << c.name;
        EXPECT_FALSE(holds(store, b)) << c.name;
    }
}

TEST(TrustStoreFile, ReadsFilesAndRefusesOversizedOnes) {
    test::TempDir dir;
    const Certificate a = authority("A");
    test::writeFile(dir / "ca.pem", a.pem());
    TrustStore store;
    ASSERT_TRUE(addCertificateFile(store, dir / "ca.pem"));
    EXPECT_TRUE(holds(store, a));

    EXPECT_EQ(addCertificateFile(store, dir / "missing.pem").error(), Error::FileNotFound);
    EXPECT_FALSE(addCertificateFile(store, dir.str()));  // a directory is no certificate file

    // Size plus three quarters of it beyond 4294967295: refused before any
    // byte is read (the file is sparse, so this costs no disk).
    struct Case {
        std::uint64_t size;
    };
    for (const Case c : {Case{2454267027u}, Case{5000000000u}}) {
        const std::string path = dir / "huge.pem";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(c.size)), 0);
        ::close(fd);
        const auto added = addCertificateFile(store, path);
        ASSERT_FALSE(added) << c.size;
        EXPECT_EQ(added.error(), Error::CertificateAuthorityBundleTooBig) << c.size;
    }
}

// Bytes this process has read from files so far (Linux's rchar), or none.
std::optional<std::uint64_t> bytesReadSoFar() {
    const int fd = ::open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    char text[512];
    const ssize_t n = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    if (n <= 0) return std::nullopt;
    const std::string_view io(text, static_cast<std::size_t>(n));
    const std::size_t at = io.find("rchar: ");
    if (at == std::string_view::npos) return std::nullopt;
    return std::strtoull(text + at + 7, nullptr, 10);
}

// One file reached through several names (a hash link beside the file, a
// hard link) is read once; every name is still opened, and emptying the
// store forgets what was read.
TEST(TrustStoreFile, FileReachedAgainThroughLinksIsReadOnce) {
    if (!bytesReadSoFar()) GTEST_SKIP() << "no /proc/self/io";
    test::TempDir dir;
    const Certificate a = authority("A");
    const Certificate b = authority("B");
    // Padding text between the blocks makes a second read stand out.
    test::writeFile(dir / "ab.pem", a.pem() + std::string(200000, '#') + "\n" + b.pem());
    ASSERT_EQ(::symlink("ab.pem", (dir / "3a1b2c4d.0").c_str()), 0);
    ASSERT_EQ(::link((dir / "ab.pem").c_str(), (dir / "hard.pem").c_str()), 0);
    ASSERT_EQ(::symlink("gone.pem", (dir / "dangling.0").c_str()), 0);

    TrustStore store;
    const auto read_before = *bytesReadSoFar();
    ASSERT_TRUE(addCertificateFile(store, dir / "ab.pem"));
    const auto read_first = *bytesReadSoFar() - read_before;
    EXPECT_GE(read_first, 200000u);
    ASSERT_TRUE(addCertificateFile(store, dir / "3a1b2c4d.0"));
    ASSERT_TRUE(addCertificateFile(store, dir / "hard.pem"));
    const auto read_again = *bytesReadSoFar() - read_before - read_first;
    EXPECT_LT(read_again, 100000u);  // only the two /proc/self/io readings
    EXPECT_EQ(store.size(), 2u);
    EXPECT_TRUE(holds(store, a));
    EXPECT_TRUE(holds(store, b));
    EXPECT_EQ(addCertificateFile(store, dir / "dangling.0").error(), Error::FileNotFound);

    ASSERT_TRUE(replaceWithCertificateFile(store, dir / "hard.pem"));
    EXPECT_EQ(store.size(), 2u);
    EXPECT_TRUE(holds(store, a));
    EXPECT_TRUE(holds(store, b));
}

TEST(TrustStoreReload, ClientLoadReplacesTheStoreOnlyWhileItNeedsLoading) {
    test::TempDir dir;
    const Certificate a = authority("A");
    const Certificate b = authority("B");
    test::writeFile(dir / "cert.pem", b.pem());

    TrustStore store;
    ASSERT_TRUE(addPemCertificates(store, a.pem(), nowSeconds()));
    const auto failed = reloadSystemTrustStore(store, dir / "missing.pem");
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error(), Error::CertificateBundleLoadFailure);
    EXPECT_TRUE(store.needsLoading());

    ASSERT_TRUE(reloadSystemTrustStore(store, dir / "cert.pem"));
    EXPECT_FALSE(store.needsLoading());
    EXPECT_FALSE(holds(store, a));  // emptied first
    EXPECT_TRUE(holds(store, b));
    EXPECT_EQ(store.size(), 1u);

    // Loaded already: nothing is read, nothing changes.
    ASSERT_TRUE(reloadSystemTrustStore(store, dir / "missing.pem"));
    EXPECT_TRUE(holds(store, b));
}

TEST(TrustStoreReload, MalformedSystemFileFailsTheLoad) {
    test::TempDir dir;
    test::writeFile(dir / "cert.pem", "-----BEGIN CERTIFICATE-----\nQUJD\n");
    TrustStore store;
    EXPECT_EQ(reloadSystemTrustStore(store, dir / "cert.pem").error(),
              Error::CertificateBundleLoadFailure);
    EXPECT_TRUE(store.needsLoading());
}

}  // namespace
}  // namespace qs
