#pragma once
// Archives for extraction tests, written at test time by real tools:
// Python's tarfile (any entry, hostile names included) and GNU tar (a
// directory tree), compressed with zlib's gzip writer in the test process.

#include <string>
#include <string_view>
#include <vector>

namespace qs::test {

struct ArchiveEntry {
    enum class Kind { file, directory, symlink, hardlink };
    Kind kind = Kind::file;
    std::string name;  // as stored (Python's tarfile adds "/" to directories)
    std::string data;  // file contents
    std::string link;  // link target
    unsigned mode = 0644;
};

inline ArchiveEntry fileEntry(std::string name, std::string data, unsigned mode = 0644) {
    ArchiveEntry e;
    e.name = std::move(name);
    e.data = std::move(data);
    e.mode = mode;
    return e;
}
inline ArchiveEntry dirEntry(std::string name) {
    ArchiveEntry e;
    e.kind = ArchiveEntry::Kind::directory;
    e.name = std::move(name);
    e.mode = 0755;
    return e;
}
// Links carry mode 0777, as tar records them.
inline ArchiveEntry linkEntry(std::string name, std::string target,
                              ArchiveEntry::Kind kind = ArchiveEntry::Kind::symlink) {
    ArchiveEntry e;
    e.kind = kind;
    e.name = std::move(name);
    e.link = std::move(target);
    e.mode = 0777;
    return e;
}

// An uncompressed tar stream in GNU format (long names as "L" records).
std::string makeTar(const std::vector<ArchiveEntry>& entries);
// The same, gzip-compressed.
std::string makeTarGz(const std::vector<ArchiveEntry>& entries);
// `directory`'s contents, archived by GNU tar with names relative to it.
std::string gnuTarGzOf(const std::string& directory);
// `directory`'s contents as an uncompressed GNU tar stream.
std::string gnuTarOf(const std::string& directory);

// One gzip member holding `bytes`, deflated at `level` (0 stores, fast enough for
// payloads of a hundred megabytes).
std::string gzip(std::string_view bytes, int level = 6);

}  // namespace qs::test
