#include "engine/cache.hpp"
#include "engine/shell.hpp"
#include "engine/wrapper.hpp"

#include <gtest/gtest.h>

using namespace plexaro::engine;

TEST(WrapperText, StartsWithInterpreterAndRealBinaryLines) {
    std::string text = docker_wrapper_text({"/usr/bin/docker.real"});
    EXPECT_EQ(text.rfind("#!/bin/bash\nREAL_DOCKER=\"/usr/bin/docker.real\"\n", 0), 0u);
    EXPECT_NE(text.find("for dev in /dev/nvidia*; do"), std::string::npos);
    EXPECT_NE(text.find("/usr/lib/x86_64-linux-gnu/libcuda.so*"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(WrapperText, RealBinaryIsTakenLiterally) {
    std::string text = docker_wrapper_text({"/opt/a \"b\" $HOME `x` \\"});
    EXPECT_EQ(text.rfind("#!/bin/bash\nREAL_DOCKER=\"/opt/a \\\"b\\\" \\$HOME \\`x\\` \\\\\"\n", 0),
              0u);
}

TEST(WrapperText, LocationsWithSpacesStayOneWord) {
    std::string text = docker_wrapper_text({"/d", "/tmp/my devs", "/lib's"});
    EXPECT_NE(text.find("for dev in '/tmp/my devs'/nvidia*; do"), std::string::npos);
    EXPECT_NE(text.find("'/lib'\\''s'/libcuda.so*"), std::string::npos);
}

TEST(ShellWord, QuotesOnlyWhenNeeded) {
    EXPECT_EQ(shell_word("/usr/lib/x86_64-linux-gnu"), "/usr/lib/x86_64-linux-gnu");
    EXPECT_EQ(shell_word(""), "''");
    EXPECT_EQ(shell_word("a*b"), "'a*b'");
    EXPECT_EQ(shell_word("it's"), "'it'\\''s'");
}

struct Name {
    const char *tool;
    bool inside;
};
class ArchiveNames : public ::testing::TestWithParam<Name> {};
TEST_P(ArchiveNames, StayInsideTheCache) {
    EXPECT_EQ(archive_name_stays_inside(GetParam().tool), GetParam().inside) << GetParam().tool;
}
INSTANTIATE_TEST_SUITE_P(Cases, ArchiveNames,
                         ::testing::Values(Name{"bwa", true}, Name{"org/bwa", true},
                                           Name{"..", true}, Name{"a/..", true},
                                           Name{"../bwa", false}, Name{"a/../../b", false},
                                           Name{"/etc/bwa", false}, Name{"", true}));
