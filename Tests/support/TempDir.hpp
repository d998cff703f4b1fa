// A temporary folder removed with everything in it, and whole-file reads and writes.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace joyrelay::testing {

class TempDir {
public:
    explicit TempDir(const std::string& stem = "joyrelay-test") {
        std::string pattern = (std::filesystem::temp_directory_path() / (stem + "-XXXXXX")).string();
        if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir() {
        if (path_.empty()) return;
        std::error_code ignored;
        // A test may have taken its own rights away somewhere to see a write fail.
        const auto restore = [](const std::filesystem::path& p) {
            std::error_code failed;
            if (std::filesystem::is_directory(std::filesystem::symlink_status(p, failed))) {
                std::filesystem::permissions(p, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                             failed);
            }
        };
        restore(path_);
        for (std::filesystem::recursive_directory_iterator it(path_, ignored), end; !ignored && it != end;
             it.increment(ignored)) {
            restore(it->path());
        }
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // Empty when the folder could not be made.
    const std::filesystem::path& path() const { return path_; }
    bool ok() const { return !path_.empty(); }

private:
    std::filesystem::path path_;
};

inline std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace joyrelay::testing
