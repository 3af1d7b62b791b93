#include "support/server_matrix.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/time.h>

#include "support/agent_run.hpp"
#include "support/temp_dir.hpp"

namespace qs::test {

namespace {

void setModificationTime(const std::string& path, long seconds_ahead) {
    struct timeval times[2];
    ::gettimeofday(&times[0], nullptr);
    times[0].tv_sec += seconds_ahead;
    times[0].tv_usec = 0;
    times[1] = times[0];
    ::utimes(path.c_str(), times);
}

ProcessResult runOnce(const std::string& config, const MatrixOptions& options) {
    if (options.ca_dir.empty()) {
        return runProcess(quillsteadBinary(), {.args = {"-c", config, "once"}});
    }
    return runProcess(unshareProgram(), agentWithCertificates(options.ca_dir, config, {}, {"once"}));
}

bool hasLine(const std::string& log, const std::string& line) {
    return log.find(line) != std::string::npos;
}

}  // namespace

PublishedSite::PublishedSite(std::string dir) : dir_(std::move(dir)) {
    std::filesystem::create_directories(dir_ + "/www");
    std::filesystem::create_directories(dir_ + "/src");
}

std::string PublishedSite::indexText(int generation) {
    return "<p>generation " + std::to_string(generation) + "</p>\n";
}

std::string PublishedSite::motdText(int generation) {
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "generation " + std::to_string(generation) + ", line " + std::to_string(i) + "\n";
    return text;
}

void PublishedSite::publish(int generation) {
    writeFile(dir_ + "/src/index.html", indexText(generation));
    makeTarGz(dir_ + "/src", www() + "/site.tar.gz");
    writeFile(www() + "/motd.txt.part", motdText(generation));
    std::filesystem::rename(www() + "/motd.txt.part", www() + "/motd.txt");
    // In the past: a server may weaken the ETag of a file modified within
    // the last second (Apache does), and the future is always that close.
    for (const char* name : {"/site.tar.gz", "/motd.txt"})
        setModificationTime(www() + name, 100L * generation - 1000);
}

MatrixRuns runServerMatrix(PublishedSite& site, const std::string& dir,
                           const std::vector<MatrixCase>& cases, const MatrixOptions& options) {
    std::string config;
    for (const MatrixCase& c : cases) {
        config += "[bundle." + c.name + "]\nurl = " + c.url + "\ntarget_dir = " + dir + "/" + c.name +
                  "\n" + (c.raw ? "format = raw\nfilename = motd.txt\n" : "") + c.keys + "\n";
    }
    const std::string config_path = dir + "/agent.conf";
    writeFile(config_path, config);
    const auto installed = [&](const MatrixCase& c, int generation) {
        const std::string target = dir + "/" + c.name;
        try {
            return c.raw ? readFile(target + "/motd.txt") == PublishedSite::motdText(generation)
                         : readFile(target + "/current/index.html") == PublishedSite::indexText(generation);
        } catch (const std::exception&) {
            return false;
        }
    };

    MatrixRuns runs;
    site.publish(1);
    runs.first = runOnce(config_path, options);
    EXPECT_EQ(runs.first.exit_status, 0) << runs.first.err;
    for (const MatrixCase& c : cases) {
        EXPECT_TRUE(hasLine(runs.first.err, "[" + c.name + "] new version: ")) << c.name << "\n"
                                                                             << runs.first.err;
        EXPECT_TRUE(installed(c, 1)) << c.name;
    }

    runs.restart = runOnce(config_path, options);
    EXPECT_EQ(runs.restart.exit_status, 0) << runs.restart.err;
    for (const MatrixCase& c : cases) {
        const std::string line = "[" + c.name + "] " + c.restart;
        EXPECT_TRUE(hasLine(runs.restart.err, c.restart == "unchanged" ? line + "\n" : line))
            << c.name << "\n" << runs.restart.err;
        EXPECT_TRUE(installed(c, 1)) << c.name;
    }

    site.publish(2);
    if (options.after_publish) options.after_publish();
    runs.changed = runOnce(config_path, options);
    EXPECT_EQ(runs.changed.exit_status, 0) << runs.changed.err;
    for (const MatrixCase& c : cases) {
        EXPECT_TRUE(hasLine(runs.changed.err, "[" + c.name + "] new version: ")) << c.name << "\n"
                                                                               << runs.changed.err;
        EXPECT_TRUE(installed(c, 2)) << c.name;
    }
    return runs;
}

}  // namespace qs::test
