// An install killed at any moment leaves `current` naming a complete
// version, and the next install recovers.

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/archive.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/apply_bundle.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

constexpr int kArchives = 4;
constexpr int kFilesPerArchive = 24;
constexpr int kKillPoints = 200;

std::string fileText(int archive, int file) {
    // Sizes vary so that some files take several writes.
    return std::string(static_cast<std::size_t>(100 + 997 * file), static_cast<char>('a' + archive)) +
           " archive " + std::to_string(archive) + " file " + std::to_string(file) + "\n";
}

std::string fileName(int file) {
    return "d" + std::to_string(file % 3) + "/f" + std::to_string(file);
}

std::string makeArchive(int archive) {
    std::vector<test::ArchiveEntry> entries = {test::dirEntry("d0"), test::dirEntry("d1"),
                                               test::dirEntry("d2")};
    for (int f = 0; f < kFilesPerArchive; ++f) entries.push_back(test::fileEntry(fileName(f), fileText(archive, f)));
    return test::makeTarGz(entries);
}

// Version names are "{archive}-{anything}", so the directory tells which
// archive it must hold in full.
::testing::AssertionResult isCompleteVersion(const std::string& target_dir) {
    std::error_code ec;
    const fs::path link = fs::read_symlink(target_dir + "/current", ec);
    if (ec) return ::testing::AssertionFailure() << "current is not a link";
    const std::string name = link.string();
    if (name.size() < 3 || name[0] != 'v' || name.find('/') != std::string::npos)
        return ::testing::AssertionFailure() << "current names " << name;
    const int archive = name[1] - '0';
    const std::string dir = target_dir + "/" + name;
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(dir, ec)) ++entries;
    if (ec || entries != 3 + kFilesPerArchive)
        return ::testing::AssertionFailure() << name << " holds " << entries << " entries";
    for (int f = 0; f < kFilesPerArchive; ++f) {
        if (test::readFile(dir + "/" + fileName(f)) != fileText(archive, f))
            return ::testing::AssertionFailure() << name << "/" << fileName(f) << " is not whole";
    }
    return ::testing::AssertionSuccess();
}

TEST(ApplyVersionedCrash, KilledInstallsLeaveACompleteCurrent) {
    std::vector<std::string> archives;
    for (int a = 0; a < kArchives; ++a) archives.push_back(makeArchive(a));
    test::TempDir t;
    Bundle bundle;
    bundle.name = "b";
    bundle.target_dir = t.str();

    {
        test::StderrCapture quiet;
        ASSERT_TRUE(applyBundle(bundle, "0-start", archives[0]));
    }
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> delay_us(0, 30000);
    int tmp_left = 0;
    int switched_meanwhile = 0;
    for (int point = 0; point < kKillPoints; ++point) {
        const std::string before = fs::read_symlink(t / "current").string();
        std::fflush(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            for (int n = 0;; ++n) {
                const int archive = n % kArchives;
                const std::string version =
                    std::to_string(archive) + "-" + std::to_string(point) + "-" + std::to_string(n);
                (void)applyBundle(bundle, version, archives[static_cast<std::size_t>(archive)]);
            }
        }
        ::usleep(static_cast<useconds_t>(delay_us(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        ASSERT_TRUE(isCompleteVersion(t.str())) << "after kill point " << point;
        if (fs::exists(fs::symlink_status(t / "current.tmp"))) ++tmp_left;
        if (fs::read_symlink(t / "current").string() != before) ++switched_meanwhile;

        const int archive = point % kArchives;
        const std::string version = std::to_string(archive) + "-recover-" + std::to_string(point);
        test::StderrCapture quiet;
        ASSERT_TRUE(applyBundle(bundle, version, archives[static_cast<std::size_t>(archive)]))
            << quiet.text();
        ASSERT_EQ(fs::read_symlink(t / "current").string(), "v" + version);
        ASSERT_TRUE(isCompleteVersion(t.str()));
        EXPECT_FALSE(fs::exists(fs::symlink_status(t / "current.tmp")));
    }
    std::printf("kill points tried: %d; current switched by the killed child at %d of them; "
                "current.tmp left behind at %d\n",
                kKillPoints, switched_meanwhile, tmp_left);
}

}  // namespace
}  // namespace qs
