#pragma once
// A fresh directory under $TMPDIR (or /tmp) removed with everything in it
// when the fixture ends.

#include <filesystem>
#include <string>
#include <string_view>

namespace qs::test {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }
    [[nodiscard]] std::string str() const { return path_.string(); }
    [[nodiscard]] std::string operator/(std::string_view name) const {
        return (path_ / std::string(name)).string();
    }

private:
    std::filesystem::path path_;
};

void writeFile(const std::string& path, std::string_view contents);
std::string readFile(const std::string& path);

}  // namespace qs::test
