// A scratch directory per test, removed afterwards.
#pragma once

#include "sandbox/fsops.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace stepcache_test {

class Scratch : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/stepcache_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
    }
    void TearDown() override { plexaro::sandbox::remove_tree(root); }

    std::string path(const std::string &rel) const { return root + "/" + rel; }
    void write(const std::string &rel, const std::string &text) const {
        std::string full = path(rel);
        std::size_t slash = full.rfind('/');
        plexaro::sandbox::make_dirs(full.substr(0, slash));
        std::ofstream(full, std::ios::binary | std::ios::trunc) << text;
    }
    std::string read(const std::string &rel) const {
        std::ifstream in(path(rel), std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    bool present(const std::string &rel) const {
        struct stat st;
        return ::lstat(path(rel).c_str(), &st) == 0;
    }
    std::string root;
};

}  // namespace stepcache_test
