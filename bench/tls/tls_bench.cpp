// CPU cost of the agent's trust-store load and of one https exchange, each
// beside a peer measured in the same run:
//   load   loadTrustStore over a certificate directory, beside a plain
//          OpenSSL loop (PEM_read_bio_X509) over every regular file and
//          symbolic link of the same directory;
//   fetch  a fresh client, the store loaded from a directory, a full TLS
//          handshake and a GET read to its end (as a sync cycle does), beside
//          `curl -s -o /dev/null --cacert BUNDLE URL`, once answered 200 and
//          once 304 (If-None-Match with the current ETag).
// CPU time: this process's own (CLOCK_PROCESS_CPUTIME_ID) for the agent and
// the loop; user plus system time of each curl child from wait4.
//
// Usage: quillstead_tls_bench CERT_DIR [ROUNDS]
//        quillstead_tls_bench CERT_DIR ROUNDS CA_DIR BUNDLE URL ETAG
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <dirent.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "http/uri.hpp"
#include "sync/load_trust_store.hpp"

namespace {

double processCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The three sources as the agent has them, with `directory` first (the
// system one, or a copy of it with a further CA).
std::size_t loadOnce(const std::string& directory) {
    qs::TrustStore store;
    qs::loadTrustStore(store, directory);
    return store.size();
}

// The plain OpenSSL reading of the same files: every regular file and
// symbolic link of the directory, every certificate in each, parsed.
std::size_t opensslLoopOnce(const std::string& directory) {
    std::size_t parsed = 0;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr) return 0;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_type != DT_REG && entry->d_type != DT_LNK) continue;
        const std::string path = directory + "/" + entry->d_name;
        BIO* file = BIO_new_file(path.c_str(), "r");
        if (file == nullptr) continue;
        while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
            ++parsed;
            X509_free(certificate);
        }
        BIO_free(file);
        ERR_clear_error();
    }
    closedir(listing);
    return parsed;
}

struct Timing {
    double seconds_per_round = 0;
    std::size_t count = 0;  // what one round produced, as a sanity figure
};

template <class Round>
Timing measure(int rounds, Round round) {
    Timing timing;
    timing.count = round();  // warm-up: page cache, OpenSSL's lazy set-up
    const double start = processCpuSeconds();
    for (int i = 0; i < rounds; ++i) timing.count = round();
    timing.seconds_per_round = (processCpuSeconds() - start) / rounds;
    return timing;
}

// One sync cycle's worth of https: fresh client, store, handshake, GET.
std::size_t fetchOnce(const std::string& ca_directory, const std::string& url,
                      const std::string& etag) {
    auto client = std::make_unique<qs::HttpClient>();
    qs::loadTrustStore(client->trustStore(), ca_directory);
    const auto uri = qs::parseUri(url);
    if (!uri) return 0;
    std::array<qs::ExtraHeader, 2> extra{{{"User-Agent", "quillstead/bench"},
                                          {"If-None-Match", etag}}};
    qs::RequestOptions options;
    options.extra_headers = std::span<const qs::ExtraHeader>(extra.data(), etag.empty() ? 1 : 2);
    auto request = qs::openRequest(*client, qs::Method::get, *uri, options);
    if (!request) {
        std::fprintf(stderr, "openRequest: %s\n",
                     std::string(qs::errorName(request.error())).c_str());
        return 0;
    }
    std::size_t received = 0;
    if (qs::sendHead(*request)) {
        std::array<char, qs::kRedirectBufferSize> redirects;
        const auto response = qs::receiveHead(*request, redirects);
        if (response) {
            received = response->status;
            if (response->status == 200) {
                auto body = qs::decodingBodyReader(*request, *response, {});
                std::array<char, 16384> buffer;
                for (;;) {
                    const auto n = body.read(buffer);
                    if (!n || *n == 0) break;
                }
            }
        }
    }
    qs::closeRequest(*request);
    qs::destroyClient(std::move(client));
    return received;
}

// CPU seconds per curl run (user + system of the child).
Timing curlRuns(int rounds, const std::string& bundle, const std::string& url,
                const std::string& etag) {
    const std::string header = "If-None-Match: " + etag;
    auto once = [&]() -> double {
        const pid_t pid = fork();
        if (pid == 0) {
            if (etag.empty()) {
                execlp("curl", "curl", "-s", "-o", "/dev/null", "--cacert", bundle.c_str(),
                       url.c_str(), static_cast<char*>(nullptr));
            } else {
                execlp("curl", "curl", "-s", "-o", "/dev/null", "--cacert", bundle.c_str(), "-H",
                       header.c_str(), url.c_str(), static_cast<char*>(nullptr));
            }
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) != 0) {
            std::fprintf(stderr, "curl failed (status %d)\n", status);
            std::exit(1);
        }
        auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
        };
        return seconds(usage.ru_utime) + seconds(usage.ru_stime);
    };
    once();
    double total = 0;
    for (int i = 0; i < rounds; ++i) total += once();
    return {total / rounds, 1};
}

void row(const char* what, const Timing& ours, const Timing& peer, const char* peer_name,
         double target) {
    const double ratio = ours.seconds_per_round / peer.seconds_per_round;
    std::printf("%-44s %9.3f ms  %-34s %9.3f ms  %6.2f  %s %.2f\n", what,
                ours.seconds_per_round * 1e3, peer_name, peer.seconds_per_round * 1e3, ratio,
                ratio <= target ? "<=" : "> ", target);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3 && argc != 7 && argc != 2) {
        std::fprintf(stderr,
                     "usage: %s CERT_DIR [ROUNDS [CA_DIR BUNDLE URL ETAG]]\n", argv[0]);
        return 2;
    }
    const std::string cert_dir = argv[1];
    const int rounds = argc >= 3 ? std::atoi(argv[2]) : 20;

    std::printf("%-44s %12s  %-34s %12s  %6s  %s\n", "agent (CPU per operation)", "", "peer",
                "", "ratio", "target");
    const Timing load = measure(rounds, [&] { return loadOnce(cert_dir); });
    const Timing loop = measure(rounds, [&] { return opensslLoopOnce(cert_dir); });
    row("loadTrustStore(system store)", load, loop, "PEM_read_bio_X509 loop", 0.5);
    std::printf("    (%zu certificates kept; the loop parsed %zu)\n", load.count, loop.count);
    if (argc != 7) return 0;

    const std::string ca_dir = argv[3];
    const std::string bundle = argv[4];
    const std::string url = argv[5];
    const std::string etag = argv[6];
    const Timing get = measure(rounds, [&] { return fetchOnce(ca_dir, url, ""); });
    const Timing curl_get = curlRuns(rounds, bundle, url, "");
    if (get.count != 200) std::fprintf(stderr, "GET answered %zu\n", get.count);
    row("store + handshake + GET (200)", get, curl_get, "curl --cacert (200)", 1.0);
    const Timing poll = measure(rounds, [&] { return fetchOnce(ca_dir, url, etag); });
    const Timing curl_poll = curlRuns(rounds, bundle, url, etag);
    if (poll.count != 304) std::fprintf(stderr, "conditional GET answered %zu\n", poll.count);
    row("store + handshake + GET (304)", poll, curl_poll, "curl --cacert (304)", 0.5);
    return 0;
}
