// An install killed at any moment leaves `current` naming a complete
// version, every version directory complete, only staging leftovers that the
// next start removes, and the next install recovers. A reinstall under the
// live version's name never shows a reader a partly written tree.

#include <chrono>
#include <algorithm>
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
#include "support/bundles.hpp"
#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"
#include "sync/apply_bundle.hpp"
#include "sync/version_store.hpp"

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

// Whether `dir` holds one archive's tree whole: `archive`'s, or any one
// when it is negative.
::testing::AssertionResult isCompleteTree(const std::string& dir, int archive) {
    std::error_code ec;
    std::size_t entries = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(dir, ec)) ++entries;
    if (ec || entries != 3 + kFilesPerArchive)
        return ::testing::AssertionFailure() << dir << " holds " << entries << " entries";
    if (archive < 0) {
        const std::string first = test::readFile(dir + "/" + fileName(0));
        archive = first.empty() ? 0 : first[0] - 'a';
    }
    for (int f = 0; f < kFilesPerArchive; ++f) {
        if (test::readFile(dir + "/" + fileName(f)) != fileText(archive, f))
            return ::testing::AssertionFailure() << dir << "/" << fileName(f) << " is not whole";
    }
    return ::testing::AssertionSuccess();
}

// Version names are "{archive}-{anything}", so the directory tells which
// archive it must hold in full; other names may hold any one.
::testing::AssertionResult isCompleteVersion(const std::string& target_dir) {
    std::error_code ec;
    const fs::path link = fs::read_symlink(target_dir + "/current", ec);
    if (ec) return ::testing::AssertionFailure() << "current is not a link";
    const std::string name = link.string();
    if (name.size() < 3 || name[0] != 'v' || name.find('/') != std::string::npos)
        return ::testing::AssertionFailure() << "current names " << name;
    const int archive = name[1] >= '0' && name[1] <= '9' ? name[1] - '0' : -1;
    return isCompleteTree(target_dir + "/" + name, archive);
}

// Every version directory is whole (an install only ever renames a complete
// tree to a version's name); returns the staging leftovers it saw.
int checkVersionsAndCountLeftovers(const std::string& target_dir) {
    int leftovers = 0;
    for (const auto& e : fs::directory_iterator(target_dir)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with(kStagingPrefix)) {
            ++leftovers;
        } else if (name.starts_with("v")) {
            const int archive = name[1] >= '0' && name[1] <= '9' ? name[1] - '0' : -1;
            EXPECT_TRUE(isCompleteTree(e.path().string(), archive));
        }
    }
    return leftovers;
}

int countLeftovers(const std::string& target_dir) {
    int leftovers = 0;
    for (const auto& e : fs::directory_iterator(target_dir)) {
        const std::string name = e.path().filename().string();
        if (name.starts_with(kStagingPrefix) || name.starts_with(kCurrentTmpPrefix)) ++leftovers;
    }
    return leftovers;
}

TEST(ApplyVersionedCrash, KilledInstallsLeaveACompleteCurrent) {
    std::vector<std::string> archives;
    for (int a = 0; a < kArchives; ++a) archives.push_back(makeArchive(a));
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());

    {
        test::StderrCapture quiet;
        ASSERT_TRUE(applyBundle(bundle, "0-start", archives[0]));
    }
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> delay_us(0, 30000);
    int tmp_left = 0;
    int staging_left = 0;
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
        if (fs::exists(fs::symlink_status(t / currentTmpName(child)))) ++tmp_left;
        if (fs::read_symlink(t / "current").string() != before) ++switched_meanwhile;
        staging_left += checkVersionsAndCountLeftovers(t.str());
        {
            // What the next start does.
            test::StderrCapture quiet;
            removeLeftovers(bundle);
        }
        ASSERT_EQ(countLeftovers(t.str()), 0);

        const int archive = point % kArchives;
        const std::string version = std::to_string(archive) + "-recover-" + std::to_string(point);
        test::StderrCapture quiet;
        ASSERT_TRUE(applyBundle(bundle, version, archives[static_cast<std::size_t>(archive)]))
            << quiet.text();
        ASSERT_EQ(fs::read_symlink(t / "current").string(), "v" + version);
        ASSERT_TRUE(isCompleteVersion(t.str()));
        EXPECT_FALSE(fs::exists(fs::symlink_status(t / currentTmpName(::getpid()))));
    }
    std::printf("kill points tried: %d; current switched by the killed child at %d of them; "
                "current.tmp left behind at %d, staging directories at %d\n",
                kKillPoints, switched_meanwhile, tmp_left, staging_left);
}

// Reads every live file through `current` until `stop` exists; exits 1 at
// the first file that is not whole in one of the archives (a partly written
// or mixed file), 0 otherwise. A file missing for a moment (its old tree
// removed while the path was being resolved) is read again.
[[noreturn]] void readLiveFilesUntil(const std::string& target_dir, const std::string& stop) {
    std::vector<std::vector<std::string>> texts(kFilesPerArchive);
    for (int f = 0; f < kFilesPerArchive; ++f)
        for (int a = 0; a < kArchives; ++a) texts[f].push_back(fileText(a, f));
    std::string buffer(1 << 16, '\0');
    while (::access(stop.c_str(), F_OK) != 0) {
        for (int f = 0; f < kFilesPerArchive; ++f) {
            const std::string path = target_dir + "/current/" + fileName(f);
            const int fd = ::open(path.c_str(), O_RDONLY);
            if (fd < 0) continue;
            std::string contents;
            for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
                contents.append(buffer.data(), static_cast<std::size_t>(n));
            ::close(fd);
            if (std::find(texts[f].begin(), texts[f].end(), contents) == texts[f].end()) ::_exit(1);
        }
    }
    ::_exit(0);
}

TEST(ApplyVersionedCrash, KilledSameNameReinstallsNeverExposeAPartialTree) {
    constexpr int kSameNamePoints = 100;
    std::vector<std::string> archives;
    for (int a = 0; a < kArchives; ++a) archives.push_back(makeArchive(a));
    test::TempDir t;
    const Bundle bundle = test::bundleAt(t.str());
    {
        test::StderrCapture quiet;
        ASSERT_TRUE(applyBundle(bundle, "same", archives[0]));
    }
    test::TempDir outside;  // the reader's stop file, not in target_dir
    const std::string stop_file = outside / "stop";
    std::fflush(nullptr);
    const pid_t reader = ::fork();
    ASSERT_GE(reader, 0);
    if (reader == 0) readLiveFilesUntil(t.str(), stop_file);

    std::mt19937 random(20261211);
    std::uniform_int_distribution<int> delay_us(0, 30000);
    int staging_left = 0;
    for (int point = 0; point < kSameNamePoints; ++point) {
        std::fflush(nullptr);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 2);
            for (int n = point;; ++n) {
                (void)applyBundle(bundle, "same", archives[static_cast<std::size_t>(n % kArchives)]);
            }
        }
        ::usleep(static_cast<useconds_t>(delay_us(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);

        ASSERT_EQ(fs::read_symlink(t / "current").string(), "vsame") << "after kill point " << point;
        ASSERT_TRUE(isCompleteVersion(t.str())) << "after kill point " << point;
        staging_left += checkVersionsAndCountLeftovers(t.str());
        {
            test::StderrCapture quiet;
            removeLeftovers(bundle);
        }
        ASSERT_EQ(countLeftovers(t.str()), 0);
    }
    test::writeFile(stop_file, "");
    int status = 0;
    ::waitpid(reader, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "the reader saw a file that was not whole";
    std::printf("same-name kill points tried: %d; staging directories left at %d\n",
                kSameNamePoints, staging_left);
}

}  // namespace
}  // namespace qs
