// A scratch directory for one test, removed with everything in it (the
// C++ tests of every subsystem share it).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace plexaro_test {

// The whole content of the file at `path` (empty when it cannot be read).
inline std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

class ScratchDir {
public:
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    ScratchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "plexaro-test-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

    // Writes `content` to `rel`, creating parent directories.
    std::string write(const std::string &rel, const std::string &content) const {
        std::string full = *this / rel;
        std::filesystem::create_directories(std::filesystem::path(full).parent_path());
        write_file(full, content);
        return full;
    }

    // The whole content of `rel` (empty when it cannot be read).
    std::string read(const std::string &rel) const { return read_file(*this / rel); }

private:
    std::string path_;
};

}  // namespace plexaro_test
