// Downloads one URL into memory the way a sync cycle does (fetchBundle: a
// fresh client, the conditional GET, the body read through the framing and
// decoding readers into a page buffer) and reports how long the fetch took
// and the process's peak resident size. With a reference file it then
// checks that the body matches it byte for byte, outside the timing.
//
// With --discard the same calls read the body into one reused buffer and
// drop it, as curl -o /dev/null does: the difference to the default mode is
// what holding the body in fresh memory costs.
//
//   quillstead_http_bench [--discard] URL [REFERENCE_FILE]
//
// Output, one line: seconds body_bytes peak_rss_kib

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/body_reader.hpp"
#include "http/client.hpp"
#include "http/receive_head.hpp"
#include "http/request.hpp"
#include "http/uri.hpp"
#include "sync/fetch_bundle.hpp"

namespace {

bool matchesFile(std::string_view body, const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::vector<char> chunk(1 << 20);
    std::size_t offset = 0;
    while (file) {
        file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        const auto got = static_cast<std::size_t>(file.gcount());
        if (got == 0) break;
        if (offset + got > body.size() || std::memcmp(body.data() + offset, chunk.data(), got) != 0)
            return false;
        offset += got;
    }
    return offset == body.size();
}

// The calls of the fetch, with the body dropped as it arrives. Returns the
// body's size, or nothing on any failure.
std::optional<std::size_t> fetchDiscarding(std::string_view url) {
    const auto uri = qs::parseUri(url);
    if (!uri) return std::nullopt;
    qs::HttpClient client;
    auto request = qs::openRequest(client, qs::Method::get, *uri, {});
    if (!request) return std::nullopt;
    std::optional<std::size_t> total;
    std::vector<char> redirects(qs::kRedirectBufferSize);
    if (qs::sendHead(*request)) {
        const auto response = qs::receiveHead(*request, redirects);
        if (response && response->status == 200) {
            std::vector<char> workspace(qs::kInflateWorkspaceSize);
            qs::DecodingBodyReader body = qs::decodingBodyReader(*request, *response, workspace);
            std::vector<char> sink(std::size_t{1} << 20);
            std::size_t size = 0;
            for (;;) {
                const auto n = body.read(sink);
                if (!n) break;
                if (*n == 0) {
                    total = size;
                    break;
                }
                size += *n;
            }
        }
    }
    qs::closeRequest(*request);
    return total;
}

}  // namespace

int main(int argc, char** argv) {
    const bool discard = argc > 1 && std::string_view(argv[1]) == "--discard";
    if (discard) {
        --argc;
        ++argv;
    }
    if (argc < 2 || argc > 3 || (discard && argc != 2)) {
        std::fprintf(stderr, "usage: quillstead_http_bench [--discard] URL [REFERENCE_FILE]\n");
        return 2;
    }
    const auto start = std::chrono::steady_clock::now();
    if (discard) {
        const auto size = fetchDiscarding(argv[1]);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        rusage usage{};
        ::getrusage(RUSAGE_SELF, &usage);
        if (!size) {
            std::fprintf(stderr, "fetch failed\n");
            return 1;
        }
        std::printf("%.6f %zu %ld\n", took.count(), *size, usage.ru_maxrss);
        return 0;
    }
    qs::FetchResult result = qs::fetchBundle(argv[1], "", std::nullopt, false);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    if (result.kind != qs::FetchResult::Kind::fetched) {
        std::fprintf(stderr, "fetch failed: %.*s\n", static_cast<int>(result.reason.size()),
                     result.reason.data());
        return 1;
    }
    if (argc == 3 && !matchesFile(result.body.view(), argv[2])) {
        std::fprintf(stderr, "the body differs from %s\n", argv[2]);
        return 1;
    }
    std::printf("%.6f %zu %ld\n", took.count(), result.body.size(), usage.ru_maxrss);
    return 0;
}
