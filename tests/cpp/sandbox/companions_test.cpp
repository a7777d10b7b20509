#include "sandbox/companion_files.hpp"
#include "sandbox/companions.hpp"
#include "sandbox/fsops.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sb = plexaro::sandbox;
using Names = std::vector<std::string>;

namespace {

sb::CompanionPattern parsed(const std::string &text) {
    sb::CompanionPattern p;
    std::string why = sb::parse_companion_pattern(text, p);
    EXPECT_EQ(why, "") << text;
    return p;
}

std::string name_of(const std::string &primary, const std::string &pattern) {
    return sb::companion_name(primary, parsed(pattern)).value_or("<none>");
}

Names names(const std::vector<sb::Companion> &cs) {
    Names out;
    for (const auto &c : cs) out.push_back(c.name);
    return out;
}

}  // namespace

TEST(CompanionPatterns, PlainSuffixAppendsEachCaretRemovesOneExtension) {
    struct Case {
        const char *primary, *pattern, *expected;
    } cases[] = {
        {"x.bam", ".bai", "x.bam.bai"},
        {"x.bam", "^.bai", "x.bai"},
        {"calls.vcf.gz", "^^.idx", "calls.idx"},
        {"calls.vcf.gz", "^^^.idx", "calls.idx"},  // no extension left to remove
        {"ref", "^.fai", "ref.fai"},
        {".hidden", "^.x", ".hidden.x"},    // a leading dot is no extension
        {"ref.fa", ".amb?", "ref.fa.amb"},  // "?" marks an optional companion
        {"reads_1", "_2", "reads_1_2"},
        {"x.bam", "^.bam", "<none>"},  // that is the primary itself
        {"..x", "^.", "<none>"},       // not a plain file name
    };
    for (const auto &c : cases) EXPECT_EQ(name_of(c.primary, c.pattern), c.expected) << c.pattern;
}

TEST(CompanionPatterns, PatternsThatCannotNameAFileBesideThePrimary) {
    for (const char *bad : {"", "^", "^^?", "?", "/../x", ".d/x", "^/etc/passwd"}) {
        sb::CompanionPattern p;
        EXPECT_NE(sb::parse_companion_pattern(bad, p), "") << bad;
    }
    sb::CompanionPattern p;
    EXPECT_NE(sb::parse_companion_pattern(std::string_view("a\0b", 3), p), "");
}

TEST(CompanionPatterns, WellKnownIndexesFollowDeclaredOnesWithoutRepeats) {
    EXPECT_EQ(names(sb::companions_of("x.vcf.gz", {})),
              (Names{"x.vcf.gz.bai", "x.vcf.gz.crai", "x.vcf.gz.csi", "x.vcf.gz.tbi",
                     "x.vcf.gz.fai", "x.vcf.gz.gzi"}));
    EXPECT_EQ(names(sb::companions_of("a.bam", {})).back(), "a.bai");
    EXPECT_EQ(names(sb::companions_of("a.cram", {})).back(), "a.crai");
    // Declared first; a declared ".csi" is not listed a second time.
    Names declared =
        names(sb::companions_of("ref.fa", {parsed(".amb"), parsed(".csi"), parsed("^.dict")}));
    EXPECT_EQ(Names(declared.begin(), declared.begin() + 3),
              (Names{"ref.fa.amb", "ref.fa.csi", "ref.dict"}));
    EXPECT_EQ(std::count(declared.begin(), declared.end(), "ref.fa.csi"), 1);
    EXPECT_EQ(declared.size(), 8u);
}

TEST(CompanionPatterns, DeliveriesTakeTheNewNameOfThePrimary) {
    std::set<std::string> present = {"sorted.bam.csi", "sorted.bai", "sorted.bam.bai", "other.bai"};
    auto is_there = [&](const std::string &n) { return present.count(n) > 0; };
    auto d = sb::companion_deliveries("sorted.bam", "bam", {}, is_there);
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].from, "sorted.bam.bai");
    EXPECT_EQ(d[0].to, "bam.bai");
    EXPECT_EQ(d[1].from, "sorted.bam.csi");
    EXPECT_EQ(d[1].to, "bam.csi");
    // sorted.bai would also become bam.bai: the first companion keeps the name.
    // A caret pattern keeps its meaning on a renamed primary.
    d = sb::companion_deliveries("ref.fa", "vcf_ref.fa", {parsed("^.dict")},
                                 [](const std::string &n) { return n == "ref.dict"; });
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(d[0].to, "vcf_ref.dict");
}

TEST(SuffixMatch, TheOneNameEndingInDotSlot) {
    EXPECT_EQ(sb::suffix_match("bai", {"x.bam", "x.bam.bai"}), "x.bam.bai");
    EXPECT_EQ(sb::suffix_match("csi", {"calls.csi", "calls.vcf"}), "calls.csi");
    EXPECT_FALSE(sb::suffix_match("bai", {"a.bai", "b.bai"}));          // two: nothing
    EXPECT_FALSE(sb::suffix_match("bai", {"xbai", ".bai", ".x.bai"}));  // no "." before, or hidden
    EXPECT_FALSE(sb::suffix_match("", {"a."}));
    EXPECT_FALSE(sb::suffix_match("bai", {}));
}

namespace {

class CompanionFiles : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/companions_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
        for (const char *d : {"a", "b", "c", "box"}) ::mkdir(path(d).c_str(), 0755);
    }
    void TearDown() override { sb::remove_tree(root); }
    std::string path(const std::string &rel) const { return root + "/" + rel; }
    void write(const std::string &rel, const std::string &text) const {
        plexaro_test::write_file(path(rel), text);
    }
    std::string read(const std::string &rel) const { return plexaro_test::read_file(path(rel)); }
    std::string root;
};

}  // namespace

namespace {
using Taken = std::set<std::string, std::less<>>;

Names copied_names(const std::vector<sb::CompanionCopy> &copies) {
    Names out;
    for (const auto &c : copies) out.push_back(c.name);
    return out;
}
}  // namespace

TEST_F(CompanionFiles, RenamedPrimariesKeepTheirOwnIndexes) {
    // Three call sets of one name, each with its index, staged as the run
    // names them: every index lands beside its own renamed copy.
    for (const char *d : {"a", "b", "c"}) {
        write(std::string(d) + "/calls.vcf.gz", d);
        write(std::string(d) + "/calls.vcf.gz.tbi", std::string("index of ") + d);
    }
    Taken taken = {"calls.vcf.gz", "vcf_calls.vcf.gz", "vcf_2_calls.vcf.gz"};
    auto plan = sb::plan_companions({{path("a/calls.vcf.gz"), "calls.vcf.gz", {}},
                                     {path("b/calls.vcf.gz"), "vcf_calls.vcf.gz", {}},
                                     {path("c/calls.vcf.gz"), "vcf_2_calls.vcf.gz", {}}},
                                    taken);
    EXPECT_EQ(copied_names(plan[0]), Names{"calls.vcf.gz.tbi"});
    EXPECT_EQ(copied_names(plan[1]), Names{"vcf_calls.vcf.gz.tbi"});
    EXPECT_EQ(copied_names(plan[2]), Names{"vcf_2_calls.vcf.gz.tbi"});
    EXPECT_EQ(plan[1][0].src, path("b/calls.vcf.gz.tbi"));
    EXPECT_TRUE(taken.count("vcf_2_calls.vcf.gz.tbi"));
    sb::stage_companions(path("box"), plan);
    EXPECT_EQ(read("box/vcf_calls.vcf.gz.tbi"), "index of b");
    EXPECT_EQ(read("box/vcf_2_calls.vcf.gz.tbi"), "index of c");
}

TEST_F(CompanionFiles, DeclaredCaretMissingAndTakenCompanions) {
    write("a/ref.fa", ">r");
    write("a/ref.fa.amb", "amb");
    write("a/ref.dict", "dict");
    ::mkdir(path("a/ref.fa.fai").c_str(), 0755);  // not a file: not a companion
    write("a/ref.fa.ann", "ann");
    Taken taken = {"ref.fa", "ref.fa.ann"};  // ref.fa.ann was given as an input of its own
    auto plan =
        sb::plan_companions({{path("a/ref.fa"),
                              "ref.fa",
                              {parsed(".amb"), parsed(".ann"), parsed(".bwt"), parsed("^.dict")}}},
                            taken);
    EXPECT_EQ(copied_names(plan[0]), (Names{"ref.fa.amb", "ref.dict"}));
    // A relative primary finds its companions relative to it.
    char previous[4096];
    ASSERT_NE(::getcwd(previous, sizeof previous), nullptr);
    ASSERT_EQ(::chdir(root.c_str()), 0);
    Taken fresh;
    plan = sb::plan_companions(
        {{"a/ref.fa", "ref.fa", {parsed(".amb")}}, {"a/./ref.fa/.", "x", {parsed(".amb")}}}, fresh);
    ASSERT_EQ(::chdir(previous), 0);
    ASSERT_EQ(plan[0].size(), 1u);
    EXPECT_EQ(plan[0][0].src, "a/ref.fa.amb");
    ASSERT_EQ(plan[1].size(), 1u);
    EXPECT_EQ(plan[1][0].src, "a/./ref.fa.amb");
    EXPECT_EQ(plan[1][0].name, "x.amb");
}

TEST_F(CompanionFiles, LinkedCompanionIsCopiedAsContent) {
    write("a/x.bam", "bam");
    write("b/real.bai", "index");
    ASSERT_EQ(::symlink(path("b/real.bai").c_str(), path("a/x.bam.bai").c_str()), 0);
    Taken taken;
    auto plan = sb::plan_companions({{path("a/x.bam"), "bam_x.bam", {}}}, taken);
    sb::stage_companions(path("box"), plan);
    struct stat st;
    ASSERT_EQ(::lstat(path("box/bam_x.bam.bai").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read("box/bam_x.bam.bai"), "index");
}
