#include "stepcache/content_hashes.hpp"
#include "stepcache/digest.hpp"
#include "stepcache/key.hpp"
#include "scratch.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sc = plexaro::stepcache;
namespace sb = plexaro::sandbox;
using stepcache_test::Scratch;

TEST(Digest, HexRoundTripAndKnownValue) {
    sc::Hasher h;
    h.update("");
    // XXH3-128 of the empty input, as the xxHash reference gives it.
    EXPECT_EQ(h.digest().hex(), "99aa06d3014798d86001c324468d497f");
    auto back = sc::Digest::from_hex(h.digest().hex());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, h.digest());
    EXPECT_FALSE(sc::Digest::from_hex("99AA06D3014798D86001C324468D497F"));
    EXPECT_FALSE(sc::Digest::from_hex("99aa"));
}

TEST(Digest, FieldsDoNotRunTogether) {
    sc::Hasher a, b;
    a.field("ab");
    a.field("c");
    b.field("a");
    b.field("bc");
    EXPECT_NE(a.digest(), b.digest());
}

class ContentHashesTest : public Scratch {};

TEST_F(ContentHashesTest, MemoReadsEachFileIdentityOnce) {
    write("in/ref.fa", std::string(300000, 'A'));
    sc::ContentHashes first(path("memo"));
    auto a = first.of(path("in/ref.fa"));
    EXPECT_EQ(first.bytes_read(), 300000u);
    EXPECT_EQ(a.size, 300000u);

    // Another worker (another object) finds the memo: nothing is read.
    sc::ContentHashes second(path("memo"));
    EXPECT_EQ(second.of(path("in/ref.fa")).digest, a.digest);
    EXPECT_EQ(second.bytes_read(), 0u);

    // Moved to another name: the change time moves with it, so it is read
    // again (the one way to be sure no in-place rewrite hid behind an old
    // modification time), to the same digest.
    ASSERT_EQ(::rename(path("in/ref.fa").c_str(), path("in/moved.fa").c_str()), 0);
    sc::ContentHashes third(path("memo"));
    EXPECT_EQ(third.of(path("in/moved.fa")).digest, a.digest);
    sc::ContentHashes fifth(path("memo"));
    EXPECT_EQ(fifth.of(path("in/moved.fa")).digest, a.digest);
    EXPECT_EQ(fifth.bytes_read(), 0u);

    // A copy is another identity with the same content: read, same digest.
    sb::copy_file(path("in/moved.fa"), path("in/copy.fa"));
    sc::ContentHashes fourth(path("memo"));
    EXPECT_EQ(fourth.of(path("in/copy.fa")).digest, a.digest);
    EXPECT_EQ(fourth.bytes_read(), 300000u);
}

TEST_F(ContentHashesTest, ChangedContentIsReadAgainEvenWithTheOldTimestamp) {
    write("x", "first version");
    struct stat st;
    ASSERT_EQ(::stat(path("x").c_str(), &st), 0);
    sc::ContentHashes hashes(path("memo"));
    auto before = hashes.of(path("x"));
    write("x", "other version");  // same size
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("x").c_str(), times, 0), 0);  // mtime put back
    sc::ContentHashes again(path("memo"));
    EXPECT_NE(again.of(path("x")).digest, before.digest);
    EXPECT_FALSE(hashes.unchanged());
    EXPECT_TRUE(again.unchanged());
}

TEST_F(ContentHashesTest, DamagedMemoIsIgnored) {
    write("x", "content");
    sc::ContentHashes hashes(path("memo"));
    auto good = hashes.of(path("x"));
    // Overwrite every memo file with garbage.
    for (const auto &shard : sb::list_dir(path("memo")))
        for (const auto &name : sb::list_dir(path("memo/" + shard)))
            write("memo/" + shard + "/" + name, "zz");
    sc::ContentHashes again(path("memo"));
    EXPECT_EQ(again.of(path("x")).digest, good.digest);
    EXPECT_EQ(again.bytes_read(), 7u);
}

TEST_F(ContentHashesTest, TreesHashNamesAndContents) {
    write("a/one.txt", "1");
    write("a/sub/two.txt", "2");
    write("b/one.txt", "1");
    write("b/sub/two.txt", "2");
    sc::ContentHashes hashes;
    auto a = hashes.of(path("a"));
    EXPECT_EQ(a.digest, hashes.of(path("b")).digest);
    EXPECT_EQ(a.size, 2u);
    write("b/sub/two.txt", "3");
    EXPECT_NE(a.digest, hashes.of(path("b")).digest);
    write("b/sub/two.txt", "2");
    ASSERT_EQ(::rename(path("b/one.txt").c_str(), path("b/uno.txt").c_str()), 0);
    EXPECT_NE(a.digest, hashes.of(path("b")).digest);
}

TEST_F(ContentHashesTest, SpecialFilesAndMissingFilesAreErrors) {
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    sc::ContentHashes hashes;
    EXPECT_THROW(hashes.of(path("fifo")), sb::FsError);
    EXPECT_THROW(hashes.of(path("missing")), sb::FsError);
    ASSERT_EQ(::mkdir(path("loop").c_str(), 0700), 0);
    ASSERT_EQ(::symlink("..", path("loop/up").c_str()), 0);
    EXPECT_THROW(hashes.of(path("loop")),
                 sb::FsError);  // a cycle ends, it does not recurse forever
}

TEST(StepKey, EveryPartCounts) {
    sc::StepKeyParts base;
    base.tool = "samtools";
    base.manifest = {{"image", "'samtools:1.16'"}, {"args_template", "'sort -o {out} {bam}'"}};
    base.words = {"samtools", "sort", "-o", "out", "a.bam"};
    base.scalars = {{"threads", "4"}};
    base.files = {{"bam", "a.bam", {1, 2}}};
    const std::string key = sc::step_key(base);
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key, sc::step_key(base));

    std::vector<sc::StepKeyParts> variants(7, base);
    variants[0].tool = "samtools2";
    variants[1].manifest[1].second = "'sort -O bam -o {out} {bam}'";
    variants[2].words.back() = "b.bam";
    variants[3].scalars[0].second = "8";
    variants[4].files[0].content.low = 3;
    variants[5].files[0].staged_name = "b.bam";
    variants[6].environment = {{"LC_ALL", std::nullopt}};
    for (const auto &v : variants) EXPECT_NE(sc::step_key(v), key);

    // An unset variable and one set to the empty text differ.
    sc::StepKeyParts empty = base;
    empty.environment = {{"LC_ALL", std::string()}};
    EXPECT_NE(sc::step_key(empty), sc::step_key(variants[6]));
}

TEST(StepKey, ListedVariablesAndSizes) {
    EXPECT_EQ(sc::listed_variables(" LC_ALL, OMP_NUM_THREADS\tLC_ALL,,"),
              (std::vector<std::string>{"LC_ALL", "OMP_NUM_THREADS"}));
    EXPECT_TRUE(sc::listed_variables(" , ").empty());

    EXPECT_EQ(sc::parse_size("1048576"), 1048576u);
    EXPECT_EQ(sc::parse_size("500M"), 500ull << 20);
    EXPECT_EQ(sc::parse_size("20g"), 20ull << 30);
    EXPECT_EQ(sc::parse_size("1.5 TiB"), 3ull << 39);
    EXPECT_EQ(sc::parse_size("2KB"), 2048u);
    for (const char *bad : {"", "G", "-5", "5X", "1e9", "1.2.3", "99999999999P"})
        EXPECT_FALSE(sc::parse_size(bad)) << bad;
}

TEST_F(ContentHashesTest, WithoutChangeTimeANewHardLinkIsNoChange) {
    write("x", std::string(1000, 'x'));
    sc::ContentHashes linked(path("memo"), false), plain(path("memo2"));
    linked.of(path("x"));
    plain.of(path("x"));
    ASSERT_EQ(::link(path("x").c_str(), path("x2").c_str()), 0);  // moves the change time
    EXPECT_TRUE(linked.unchanged());
    EXPECT_FALSE(plain.unchanged());
    sc::ContentHashes again(path("memo"), false);
    again.of(path("x"));
    EXPECT_EQ(again.bytes_read(), 0u);
}
