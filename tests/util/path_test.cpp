#include "util/path.hpp"

#include <gtest/gtest.h>

#include <string>

namespace qs {
namespace {

TEST(Path, SystemLimitIsBelow1024Bytes) {
    EXPECT_TRUE(checkSystemPath(std::string(1023, 'a')));
    EXPECT_EQ(checkSystemPath(std::string(1024, 'a')).error(), Error::NameTooLong);
}

TEST(Path, ComposesVerbatimAndRefusesOverflowWithoutChange) {
    PathBuffer path;
    ASSERT_TRUE(path.append({"dir/", "/", ".etag"}));
    EXPECT_EQ(path.view(), "dir//.etag");  // never normalised
    const std::string big(kPathBufferSize, 'x');
    EXPECT_EQ(path.append({"/", big}).error(), Error::NameTooLong);
    EXPECT_EQ(path.view(), "dir//.etag");
    EXPECT_EQ(std::string(path.c_str()), "dir//.etag");

    PathBuffer system;
    EXPECT_EQ(composeSystemPath(system, {std::string(1000, 'd'), "/", std::string(30, 'f')}).error(),
              Error::NameTooLong);
}

TEST(ErrorNames, RenderCamelCase) {
    EXPECT_EQ(errorName(Error::FileNotFound), "FileNotFound");
    EXPECT_EQ(errorName(Error::CertificatePublicKeyInvalid), "CertificatePublicKeyInvalid");
}

}  // namespace
}  // namespace qs
