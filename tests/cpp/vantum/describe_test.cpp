#include "vantum/describe.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace plexaro::vantum;
using TempDir = plexaro_test::ScratchDir;

namespace {

ValueShape text(std::optional<std::string> path) {
    return {ValueShape::Type::text, {std::move(path)}, 0};
}
ValueShape list(std::vector<std::optional<std::string>> paths, std::size_t length) {
    return {ValueShape::Type::list, std::move(paths), length};
}

}  // namespace

TEST(ChooseRule, FirstMatchingRuleWins) {
    TempDir t;
    std::string dir = t.path(), sub = t / "sub";
    mkdir(sub.c_str(), 0755);
    std::string file = t.write("f.txt", "12345");
    std::string gone = t / "gone";
    std::string fifo = t / "fifo";
    mkfifo(fifo.c_str(), 0644);

    EXPECT_EQ(choose_rule(text(dir)).rule, Rule::directory);
    Decision f = choose_rule(text(file));
    EXPECT_EQ(f.rule, Rule::file);
    EXPECT_EQ(f.size, 5u);
    EXPECT_EQ(choose_rule(text(gone)).rule, Rule::value);
    EXPECT_EQ(choose_rule(text(fifo)).rule, Rule::value);
    EXPECT_EQ(choose_rule(text(std::nullopt)).rule, Rule::value);

    EXPECT_EQ(choose_rule(list({dir, sub}, 2)).rule, Rule::directory_list);
    EXPECT_EQ(choose_rule(list({}, 0)).rule, Rule::value);
    // Judged by the first element only.
    EXPECT_EQ(choose_rule(list({file, gone}, 3)).rule, Rule::file_list);
    // A directory first and a file later: neither list rule.
    EXPECT_EQ(choose_rule(list({dir, file}, 2)).rule, Rule::value);
    // A non-string element (left out of the paths) spoils "all directories".
    EXPECT_EQ(choose_rule(list({dir}, 2)).rule, Rule::value);
    EXPECT_EQ(choose_rule({ValueShape::Type::other, {}, 0}).rule, Rule::value);
}

TEST(Lines, ValueRepresentationIsCutAt120CodePoints) {
    std::string wide;
    for (int i = 0; i < 130; ++i) wide += "\xC3\xA9";
    std::string expected = "  k = ";
    for (int i = 0; i < 120; ++i) expected += "\xC3\xA9";
    EXPECT_EQ(value_line("k", wide), expected);
    EXPECT_EQ(value_line("n", "5"), "  n = 5");
}

TEST(Snapshot, DirectoryFilesAndTheirPreviews) {
    TempDir t;
    t.write("x.txt", "hello\nworld\n");
    t.write("sub/y.csv", "a,b\n");
    t.write("empty", "");
    t.write("bin", std::string("\x89PNG\r\n\x1a\n\0\0", 10));
    DirSnapshot snap = snapshot_dir(t.path() + "/");
    EXPECT_EQ(snap.files, (std::vector<std::string>{"bin", "empty", "sub/y.csv", "x.txt"}));
    ASSERT_EQ(snap.looks.size(), 4u);
    EXPECT_EQ(snap.looks[0], (FileLook{"PNG image", false, std::nullopt}));
    EXPECT_EQ(snap.looks[1], FileLook{});
    EXPECT_EQ(snap.looks[2], (FileLook{"", false, "a,b"}));
    EXPECT_EQ(snap.looks[3], (FileLook{"", false, "hello\nworld"}));
}

TEST(Snapshot, AFileWithItsCompanionsAndLines) {
    TempDir t;
    std::string bam = t.write("bam", "BAM\1");
    t.write("bam.csi", "CSI\1");
    t.write("bam.bai", "BAI\1");
    FileSnapshot snap = snapshot_file(bam);
    EXPECT_EQ(snap.companions, (std::vector<std::string>{bam + ".bai", bam + ".csi"}));
    EXPECT_EQ(snap.look.format, "BAM (binary alignments, uncompressed)");
    EXPECT_EQ(
        file_line("bam", "'/o/bam'", 4, snap.look.format),
        "  bam = '/o/bam'  [file, size: 4 bytes, format: BAM (binary alignments, uncompressed)]");
    EXPECT_EQ(file_line("t", "'/o/t'", 2), "  t = '/o/t'  [file, size: 2 bytes]");
    EXPECT_EQ(companions_line("['/o/bam.bai']"), "    companion files: ['/o/bam.bai']");
    EXPECT_EQ(file_preview_line("a", true), "    first 5 lines (decompressed):\n      a");
    EXPECT_EQ(dir_file_line("'x'", FileLook{}), std::nullopt);
    EXPECT_EQ(dir_file_line("'x'", FileLook{"gzip-compressed", true, "a\nb"}),
              "    'x': [gzip-compressed] a\nb");
    EXPECT_EQ(dir_file_line("'x'", FileLook{"PNG image", false, std::nullopt}),
              "    'x': [PNG image]");
}
