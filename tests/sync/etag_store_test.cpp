#include "sync/etag_store.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <sys/stat.h>

#include "support/stderr_capture.hpp"
#include "support/temp_dir.hpp"

namespace qs {
namespace {

namespace fs = std::filesystem;

TEST(EtagStore, SavedEtagIsStoredVerbatimAndReadBack) {
    const std::string etags[] = {
        "W/\"5f3a-1b2c\"",  // a weak ETag keeps its W/ and its quotes
        "\"abc\"",
        "unquoted",
        std::string(256, 'e'),  // the largest record read back
    };
    for (const std::string& etag : etags) {
        SCOPED_TRACE(etag);
        test::TempDir dir;
        BundleState state;
        state.etag = "\"old\"";
        test::StderrCapture capture;
        saveEtag(dir.str(), state, etag);
        EXPECT_EQ(state.etag, etag);
        EXPECT_EQ(test::readFile(dir / ".etag"), etag);
        EXPECT_EQ(loadEtag(dir.str()), etag);
        EXPECT_EQ(capture.text(), "");
    }
}

TEST(EtagStore, SaveTruncatesAndEmptyEtagGivesAnEmptyRecord) {
    test::TempDir dir;
    test::writeFile(dir / ".etag", std::string(1000, 'x'));
    BundleState state;
    state.etag = "\"old\"";
    saveEtag(dir.str(), state, "\"n\"");
    EXPECT_EQ(test::readFile(dir / ".etag"), "\"n\"");
    saveEtag(dir.str(), state, "");
    EXPECT_EQ(state.etag, "");
    EXPECT_EQ(fs::file_size(dir / ".etag"), 0u);
    EXPECT_EQ(loadEtag(dir.str()), "");
}

TEST(EtagStore, RecordIsCreatedWithModeLessUmask) {
    test::TempDir dir;
    const mode_t saved = ::umask(027);
    BundleState state;
    saveEtag(dir.str(), state, "\"x\"");
    ::umask(saved);
    struct stat info {};
    ASSERT_EQ(::stat((dir / ".etag").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(EtagStore, LongEtagIsSavedButNotReadBack) {
    test::TempDir dir;
    BundleState state;
    const std::string etag = "\"" + std::string(298, 'a') + "\"";
    saveEtag(dir.str(), state, etag);
    EXPECT_EQ(test::readFile(dir / ".etag"), etag);
    EXPECT_EQ(state.etag, etag);
    EXPECT_EQ(loadEtag(dir.str()), "");
}

TEST(EtagStore, LoadTrimsWhiteSpaceAndTreatsBadRecordsAsAbsent) {
    struct Case {
        std::string_view name;
        std::string record;
        std::string etag;
    };
    const Case cases[] = {
        {"line feed after a quoted ETag", "\"abc\"\n", "\"abc\""},
        {"all trimmed bytes at both ends", " \t\r\n\v\f W/\"a b\" \f\v\n\r\t ", "W/\"a b\""},
        {"white space only", " \n\t\r\n", ""},
        {"empty", "", ""},
        {"256 bytes with white space", "  " + std::string(252, 'z') + "\r\n", std::string(252, 'z')},
        {"257 bytes", std::string(257, 'z'), ""},
        {"257 bytes that trim short", std::string(10, 'z') + std::string(247, ' '), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir dir;
        test::writeFile(dir / ".etag", c.record);
        test::StderrCapture capture;
        EXPECT_EQ(loadEtag(dir.str()), c.etag);
        EXPECT_EQ(capture.text(), "");
    }
}

TEST(EtagStore, LoadFailuresAreSilent) {
    test::TempDir dir;
    fs::create_directory(dir / "record-is-dir");
    fs::create_directory(dir / "record-is-dir/.etag");
    test::StderrCapture capture;
    EXPECT_EQ(loadEtag(dir / "missing"), "");
    EXPECT_EQ(loadEtag(dir / "record-is-dir"), "");
    EXPECT_EQ(loadEtag(std::string(1100, 'd')), "");
    EXPECT_EQ(loadEtag(std::string(5000, 'd')), "");
    EXPECT_EQ(capture.text(), "");
}

TEST(EtagStore, TrailingSlashDoublesTheSlash) {
    test::TempDir dir;
    BundleState state;
    test::StderrCapture capture;
    saveEtag(dir.str() + "/", state, "\"d\"");
    EXPECT_EQ(test::readFile(dir / ".etag"), "\"d\"");
    EXPECT_EQ(loadEtag(dir.str() + "/"), "\"d\"");
    // The doubled slash shows in the warning when the record cannot be made.
    saveEtag(dir.str() + "/gone/", state, "\"e\"");
    EXPECT_EQ(capture.text(), "warning(bundle): failed to save etag to " + dir.str() +
                                  "/gone//.etag: error.FileNotFound\n");
}

TEST(EtagStore, UnwritableRecordWarnsAndStillReplacesTheEtagInMemory) {
    test::TempDir dir;
    fs::create_directory(dir / "blocked");
    fs::create_directory(dir / "blocked/.etag");
    test::writeFile(dir / "file", "x");
    const std::string long_dir = dir.str() + "/" + std::string(1100, 'l');
    struct Case {
        std::string target_dir;
        std::string log;
    };
    const Case cases[] = {
        {dir / "blocked",
         "warning(bundle): failed to save etag to " + (dir / "blocked") + "/.etag: error.IsDir\n"},
        {dir / "missing", "warning(bundle): failed to save etag to " + (dir / "missing") +
                              "/.etag: error.FileNotFound\n"},
        {dir / "file",
         "warning(bundle): failed to save etag to " + (dir / "file") + "/.etag: error.NotDir\n"},
        // Too long for the system but composed fine: the warning names it.
        {long_dir, "warning(bundle): failed to save etag to " + long_dir +
                       "/.etag: error.NameTooLong\n"},
        // Too long even to compose: nothing on disk, nothing logged.
        {std::string(4100, 'x'), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target_dir.substr(0, 80));
        BundleState state;
        state.etag = "\"old\"";
        test::StderrCapture capture;
        saveEtag(c.target_dir, state, "W/\"new\"");
        EXPECT_EQ(state.etag, "W/\"new\"");
        EXPECT_EQ(capture.text(), c.log);
    }
    EXPECT_TRUE(fs::is_directory(dir / "blocked/.etag"));
}

TEST(EtagStore, SavingTheStateEtagOntoItselfKeepsIt) {
    test::TempDir dir;
    BundleState state;
    state.etag = "\"same\"";
    saveEtag(dir.str(), state, state.etag);
    EXPECT_EQ(state.etag, "\"same\"");
    EXPECT_EQ(test::readFile(dir / ".etag"), "\"same\"");
}

}  // namespace
}  // namespace qs
