#pragma once
// The scenario every published-through server is put to: the agent's first
// install (200), a restart that sends the recorded ETag (304 where the
// server allows it), and a changed payload installed, for archives and raw
// files, over http and https. Each phase is one `quillstead once` over all
// of a server's bundles.

#include <functional>
#include <string>
#include <vector>

#include "support/process.hpp"

namespace qs::test {

// What a server publishes: www/site.tar.gz (index.html inside) and
// www/motd.txt, a compressible text, both naming their generation.
class PublishedSite {
public:
    explicit PublishedSite(std::string dir);
    // Writes generation `generation` and sets both files' modification time
    // to a moment in the past that moves a hundred seconds on with each
    // generation, so that every server's validators (size, modification
    // time, inode) change with it.
    void publish(int generation);
    [[nodiscard]] std::string www() const { return dir_ + "/www"; }
    [[nodiscard]] static std::string indexText(int generation);
    [[nodiscard]] static std::string motdText(int generation);

private:
    std::string dir_;
};

struct MatrixCase {
    std::string name;
    std::string url;
    bool raw = false;  // the raw file motd.txt rather than the archive
    // How the restart with the recorded ETag ends: "unchanged" when the
    // server answers 304; "new version:" when it does not recognise its
    // own ETag and the payload is installed again.
    std::string restart = "unchanged";
    std::string keys;  // further configuration lines
};

struct MatrixOptions {
    // The trust store's directory for https cases; empty without any.
    std::string ca_dir;
    // Runs after the new generation is published, before the agent looks.
    std::function<void()> after_publish;
};

struct MatrixRuns {
    ProcessResult first;
    ProcessResult restart;
    ProcessResult changed;
};

// Publishes generation 1, runs the three phases (publishing generation 2
// before the third) and checks each case's lines and installed contents.
// `dir` holds the agent's configuration and target directories.
MatrixRuns runServerMatrix(PublishedSite& site, const std::string& dir,
                           const std::vector<MatrixCase>& cases, const MatrixOptions& options = {});

}  // namespace qs::test
