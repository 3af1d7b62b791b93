#include "support/archive.hpp"

#include <cstdio>
#include <stdexcept>
#include <zlib.h>

#include "support/process.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {

namespace {

std::string hex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out.empty() ? "-" : out;
}

// Names travel as hex so that any byte survives; tarfile keeps a name given
// to addfile exactly (no stripping of "/" or ".."), which hostile-archive
// tests rely on.
constexpr std::string_view kWriter = R"(
import sys, tarfile, io
def unhex(t):
    return b"" if t == "-" else bytes.fromhex(t)
def text(t):
    return unhex(t).decode("utf-8", "surrogateescape")
kinds = {"f": tarfile.REGTYPE, "d": tarfile.DIRTYPE, "s": tarfile.SYMTYPE, "h": tarfile.LNKTYPE}
with tarfile.open(sys.argv[1], "w", format=tarfile.GNU_FORMAT) as archive:
    for line in sys.stdin.read().splitlines():
        kind, name, data, link, mode = line.split(" ")
        info = tarfile.TarInfo(text(name))
        info.type = kinds[kind]
        info.mode = int(mode, 8)
        info.linkname = text(link)
        payload = unhex(data)
        info.size = len(payload) if kind == "f" else 0
        archive.addfile(info, io.BytesIO(payload) if kind == "f" else None)
)";

char kindLetter(ArchiveEntry::Kind kind) {
    switch (kind) {
    case ArchiveEntry::Kind::file: return 'f';
    case ArchiveEntry::Kind::directory: return 'd';
    case ArchiveEntry::Kind::symlink: return 's';
    case ArchiveEntry::Kind::hardlink: return 'h';
    }
    return 'f';
}

}  // namespace

std::string makeTar(const std::vector<ArchiveEntry>& entries) {
    TempDir dir;
    const std::string script = dir / "writer.py";
    const std::string out = dir / "out.tar";
    writeFile(script, kWriter);
    std::string listing;
    for (const auto& e : entries) {
        listing += kindLetter(e.kind);
        listing += " " + hex(e.name) + " " + hex(e.data) + " " + hex(e.link) + " ";
        char mode[16];
        std::snprintf(mode, sizeof mode, "%o", e.mode);
        listing += mode;
        listing += "\n";
    }
    RunOptions options;
    options.args = {script, out};
    options.stdin_text = listing.empty() ? std::string() : listing;
    const ProcessResult r = runProcess("/usr/bin/python3", options);
    if (r.exit_status != 0) throw std::runtime_error("tarfile writer failed: " + r.err);
    return readFile(out);
}

std::string makeTarGz(const std::vector<ArchiveEntry>& entries) { return gzip(makeTar(entries)); }

std::string gnuTarGzOf(const std::string& directory) {
    TempDir dir;
    const std::string out = dir / "out.tar.gz";
    RunOptions options;
    options.args = {"--format=gnu", "-czf", out, "-C", directory, "."};
    const ProcessResult r = runProcess("/usr/bin/tar", options);
    if (r.exit_status != 0) throw std::runtime_error("GNU tar failed: " + r.err);
    return readFile(out);
}

std::string gnuTarOf(const std::string& directory) {
    TempDir dir;
    const std::string out = dir / "out.tar";
    RunOptions options;
    options.args = {"--format=gnu", "-cf", out, "-C", directory, "."};
    const ProcessResult r = runProcess("/usr/bin/tar", options);
    if (r.exit_status != 0) throw std::runtime_error("GNU tar failed: " + r.err);
    return readFile(out);
}

std::string gzip(std::string_view bytes, int level) {
    z_stream stream{};
    // 15 + 16: a deflate window of 32 KiB inside a gzip wrapper.
    if (deflateInit2(&stream, level, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2 failed");
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())) + 64, '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&stream, Z_FINISH);
    deflateEnd(&stream);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    out.resize(stream.total_out);
    return out;
}

}  // namespace qs::test
