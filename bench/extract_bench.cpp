// Extracts a gzip tar archive from memory the way the daemon installs a
// bundle: the whole file is read into one buffer first (as a downloaded
// body would be), then extractArchive writes it below DEST. Prints one line:
// files written, seconds spent in extractArchive, payload bytes.
//
//   quillstead_extract_bench FILE.tar.gz DEST
//
// Peak memory is measured from outside (/usr/bin/time), so that it covers
// the whole process: payload buffer, decoder, tar reader and file buffers.

#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#include "deploy/extract_archive.hpp"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s FILE.tar.gz DEST\n", argv[0]);
        return 2;
    }
    // Sized once up front: a growing string would briefly hold two copies and
    // inflate the peak that the benchmark reports.
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    if (!in) {
        std::fprintf(stderr, "cannot open %s\n", argv[1]);
        return 2;
    }
    const auto size = static_cast<std::size_t>(in.tellg());
    std::string body(size, '\0');
    in.seekg(0);
    if (!in.read(body.data(), static_cast<std::streamsize>(size))) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    in.close();

    const auto start = std::chrono::steady_clock::now();
    const qs::ExtractResult result = qs::extractArchive(body, argv[2], std::nullopt, std::nullopt);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (result.error) {
        std::fprintf(stderr, "extraction failed: error.%s\n",
                     std::string(qs::errorName(*result.error)).c_str());
        return 1;
    }
    std::printf("%u %.6f %zu\n", result.count, took.count(), size);
    return 0;
}
