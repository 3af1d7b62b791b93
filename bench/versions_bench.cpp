// What a versioned install costs beyond extraction, measured in one process
// on one file system, each side alternating with its peer round by round:
//
//   staging   the daemon's install (extract into a staging directory, rename
//             it to v{version}, switch `current`, remove the old version)
//   in-place  its peer: extract straight into v{version}, switch, remove the
//             old version (how installs were made before staging)
//   durable   the daemon's install with durable = yes (syncfs of the file
//             system on Linux), beside staging without it
//   fsync     durable with one fsync per file and directory instead
//
//   quillstead_versions_bench ARCHIVE.tar.gz DIR ROUNDS
//
// Prints one line per side: median seconds per install; then the ratios.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

#include "deploy/extract_archive.hpp"
#include "deploy/flush_tree.hpp"
#include "deploy/remove_tree.hpp"
#include "sync/apply_bundle.hpp"

namespace {

namespace fs = std::filesystem;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double timed(const std::function<bool()>& step) {
    const auto start = std::chrono::steady_clock::now();
    if (!step()) {
        std::fprintf(stderr, "install failed\n");
        std::exit(1);
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s ARCHIVE.tar.gz DIR ROUNDS\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string root = argv[2];
    const int rounds = std::atoi(argv[3]);
    // The agent's log lines would only measure the terminal.
    std::freopen("/dev/null", "w", stderr);

    struct Side {
        const char* name;
        bool durable;
        bool staged;
        qs::FlushMethod method;
        std::vector<double> seconds;
        int installs = 0;
    };
    std::vector<Side> sides = {
        {"in-place", false, false, qs::FlushMethod::file_system, {}},
        {"staging", false, true, qs::FlushMethod::file_system, {}},
        {"durable", true, true, qs::FlushMethod::file_system, {}},
        {"fsync", true, false, qs::FlushMethod::each_file, {}},
    };
    for (int round = 0; round < rounds; ++round) {
        for (std::size_t k = 0; k < sides.size(); ++k) {
            // Rotate who goes first, so no side always meets the others'
            // write-back.
            Side& side = sides[(k + static_cast<std::size_t>(round)) % sides.size()];
            const std::string target = root + "/" + side.name;
            fs::create_directories(target);
            qs::Bundle bundle;
            bundle.name = side.name;
            bundle.target_dir = target;
            bundle.options.durable = side.durable && side.method == qs::FlushMethod::file_system;
            const std::string version = std::to_string(side.installs++);
            ::sync();
            if (side.staged) {
                side.seconds.push_back(timed([&] { return bool(qs::applyBundle(bundle, version, body)); }));
            } else {
                // The peer: what an install did before staging, plus (for
                // "fsync") a flush of each file and directory.
                side.seconds.push_back(timed([&] {
                    const std::string dir = target + "/v" + version;
                    fs::create_directory(dir);
                    if (qs::extractArchive(body, dir, std::nullopt, std::nullopt).error) return false;
                    if (side.durable && !qs::flushTree(dir, side.method)) return false;
                    std::error_code ec;
                    const fs::path old = fs::read_symlink(target + "/current", ec);
                    if (!qs::switchCurrent(target, "v" + version)) return false;
                    if (!ec) (void)qs::removeTree(target + "/" + old.string());
                    return true;
                }));
            }
        }
    }
    double base = 0;
    double staged = 0;
    for (const Side& side : sides) {
        const double m = median(side.seconds);
        std::printf("%-9s median %.4f s per install (%d rounds)\n", side.name, m, rounds);
        if (std::string(side.name) == "in-place") base = m;
        if (std::string(side.name) == "staging") staged = m;
    }
    std::printf("staging / in-place: %.3f\n", staged / base);
    for (const Side& side : sides) {
        if (side.durable) std::printf("%s / staging: %.3f\n", side.name, median(side.seconds) / staged);
    }
    return 0;
}
