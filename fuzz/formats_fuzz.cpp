// libFuzzer target for the archive path of a bundle: MemoryReader ->
// Inflater -> BufferedReader -> TarReader, plus a differential check that
// the zlib and ISA-L engines agree on every input.
//
// The first byte picks what the rest is:
//   0: a gzip stream holding a tar archive (the daemon's payload path), zlib engine
//   1: the same, ISA-L engine
//   2: a bare tar archive (the tar reader alone)
//   3: a gzip stream decoded by both engines, results compared
//   4: a zlib stream decoded by both engines, results compared

#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "formats/buffered_reader.hpp"
#include "formats/inflater.hpp"
#include "formats/memory_reader.hpp"
#include "formats/tar_reader.hpp"

namespace {

using namespace qs;

class DiscardSink final : public TarDataSink {
public:
    Result<void> write(std::string_view bytes) override {
        total += bytes.size();
        return {};
    }
    std::uint64_t total = 0;
};

void walkTar(Reader& source, std::size_t storage_size) {
    std::vector<char> storage(storage_size);
    BufferedReader input(source, storage);
    TarReader reader(input);
    for (int index = 0;; ++index) {
        const auto entry = reader.next();
        if (!entry || !*entry) return;
        if ((*entry)->name.size() > kTarNameCapacity || (*entry)->link_name.size() > kTarNameCapacity)
            std::abort();
        if (index % 3 == 0) {
            DiscardSink sink;
            if (!reader.streamData(sink)) return;
            if (sink.total != (*entry)->size) std::abort();
        } else if (index % 3 == 1) {
            std::array<char, 100> chunk{};
            if (!reader.readData(chunk)) return;
        }
    }
}

// Bounds the work per input: a few bytes of deflate can expand a
// thousandfold.
constexpr std::size_t kOutputCap = std::size_t{1} << 20;

struct Decoded {
    std::string bytes;
    bool failed = false;
};

Decoded decode(std::string_view stream, Container container, InflateEngine engine, std::size_t chunk) {
    MemoryReader source(stream);
    std::vector<char> workspace(kInflateWorkspaceSize);
    Inflater inflater(source, container, workspace, engine);
    Decoded d;
    std::vector<char> out(chunk);
    for (;;) {
        const auto n = inflater.read(out);
        if (!n) {
            d.failed = true;
            if (inflater.read(out)) std::abort();  // a failed decoder stays failed
            return d;
        }
        if (*n == 0) return d;
        if (*n > out.size()) std::abort();
        d.bytes.append(out.data(), *n);
        if (d.bytes.size() > kOutputCap) return d;
    }
}

void compareEngines(std::string_view stream, Container container) {
    if (!inflateEngineAvailable(InflateEngine::isal)) {
        (void)decode(stream, container, InflateEngine::zlib, 4096);
        return;
    }
    const Decoded a = decode(stream, container, InflateEngine::zlib, 4096);
    const Decoded b = decode(stream, container, InflateEngine::isal, 1000);
    const bool capped = a.bytes.size() > kOutputCap || b.bytes.size() > kOutputCap;
    if (capped) return;
    if (a.failed != b.failed) std::abort();
    if (!a.failed && a.bytes != b.bytes) std::abort();
    // On failure each delivered a prefix of the same data.
    const std::size_t common = std::min(a.bytes.size(), b.bytes.size());
    if (a.bytes.compare(0, common, b.bytes, 0, common) != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0:
    case 1: {
        const InflateEngine engine = data[0] % 5 == 0 ? InflateEngine::zlib : InflateEngine::isal;
        MemoryReader source(rest);
        std::vector<char> workspace(kInflateWorkspaceSize);
        Inflater inflater(source, Container::gzip, workspace, engine);
        walkTar(inflater, 8192);
        break;
    }
    case 2: {
        MemoryReader source(rest);
        walkTar(source, data[0] % 2 == 0 ? 512 : 4096);
        break;
    }
    case 3:
        compareEngines(rest, Container::gzip);
        break;
    case 4:
        compareEngines(rest, Container::zlib);
        break;
    }
    return 0;
}
