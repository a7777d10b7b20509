// A scratch directory per test, removed afterwards.
#pragma once

#include "sandbox/fsops.hpp"
#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>

namespace stepcache_test {

class Scratch : public ::testing::Test {
protected:
    std::string path(const std::string &rel) const { return root + "/" + rel; }
    void write(const std::string &rel, const std::string &text) const { dir_.write(rel, text); }
    std::string read(const std::string &rel) const { return dir_.read(rel); }
    bool present(const std::string &rel) const {
        struct stat st;
        return ::lstat(path(rel).c_str(), &st) == 0;
    }

private:
    plexaro_test::ScratchDir dir_;

protected:
    std::string root = dir_.path();
};

}  // namespace stepcache_test
