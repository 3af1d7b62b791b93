#pragma once
// Test suites whose servers start once for all of their tests: starting
// Apache, lighttpd, Caddy or squid takes longer than the tests themselves.

#include <gtest/gtest.h>

#include "support/certificates.hpp"
#include "support/nginx_server.hpp"
#include "support/server_matrix.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {

// `Servers` tells whether the suite can run here (static bool available()),
// what it needs when it cannot (static constexpr const char* kNeeds), and
// starts everything in its constructor. Its tests reach it as shared_; each
// is skipped with kNeeds where it cannot run.
template <class Servers>
class SharedServersTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (Servers::available()) shared_ = new Servers;
    }
    static void TearDownTestSuite() {
        delete shared_;
        shared_ = nullptr;
    }
    void SetUp() override {
        if (shared_ == nullptr) GTEST_SKIP() << Servers::kNeeds;
    }

    static inline Servers* shared_ = nullptr;
};

// A published site and a test PKI in one temporary directory that servers
// which drop their privileges can read, with the PKI's CA alone in ca_dir
// for the agent to trust.
struct PkiSite {
    PkiSite();

    TempDir dir;
    TempDir ca_dir;
    PublishedSite site{dir / "site"};
    TestPki pki;
};

}  // namespace qs::test
