// Decodes a gzip tar archive held in memory and walks every entry,
// discarding the data, the way extraction reads a payload. Prints one line
// per engine: name, best seconds over the repeats, tar bytes, entries.
//
//   quillstead_formats_bench FILE.tar.gz [repeats] [look-ahead bytes]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/buffered_reader.hpp"
#include "formats/inflater.hpp"
#include "formats/memory_reader.hpp"
#include "formats/tar_reader.hpp"

namespace {

struct Walk {
    std::uint64_t data_bytes = 0;
    std::uint64_t entries = 0;
};

bool walkArchive(const std::string& body, qs::InflateEngine engine, std::size_t look_ahead, Walk& walk) {
    qs::MemoryReader source(body);
    std::vector<char> workspace(qs::kInflateWorkspaceSize);
    qs::Inflater inflater(source, qs::Container::gzip, workspace, engine);
    std::vector<char> storage(look_ahead);
    qs::BufferedReader input(inflater, storage);
    qs::TarReader reader(input);
    walk = {};
    for (;;) {
        const auto entry = reader.next();
        if (!entry) {
            std::fprintf(stderr, "tar iteration error: error.%s\n",
                         std::string(qs::errorName(entry.error())).c_str());
            return false;
        }
        if (!*entry) return true;
        walk.data_bytes += (*entry)->size;
        ++walk.entries;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE.tar.gz [repeats] [look-ahead bytes]\n", argv[0]);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        std::fprintf(stderr, "cannot read %s\n", argv[1]);
        return 2;
    }
    const int repeats = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::size_t look_ahead = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 65536;

    for (const qs::InflateEngine engine : {qs::InflateEngine::zlib, qs::InflateEngine::isal}) {
        if (!qs::inflateEngineAvailable(engine)) continue;
        double best = 1e30;
        Walk walk;
        for (int i = 0; i < repeats; ++i) {
            const auto start = std::chrono::steady_clock::now();
            if (!walkArchive(body, engine, look_ahead, walk)) return 1;
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            best = std::min(best, took.count());
        }
        std::printf("%s %.6f %llu %llu\n", engine == qs::InflateEngine::isal ? "isal" : "zlib", best,
                    static_cast<unsigned long long>(walk.data_bytes),
                    static_cast<unsigned long long>(walk.entries));
    }
    return 0;
}
