#include "sandbox/harvest.hpp"
#include "sandbox/streams.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace sb = plexaro::sandbox;
using Names = std::vector<std::string>;

namespace {

class HarvestTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/sandbox_harvest_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
        ::mkdir(box().c_str(), 0777);
        ::mkdir(host("").c_str(), 0755);
        write(host("secret"), "host secret");
        q.sandbox = box();
        q.output_path = root + "/out";
    }
    void TearDown() override { sb::remove_tree(root); }

    std::string box(const std::string &rel = "") const {
        return root + "/box" + (rel.empty() ? "" : "/" + rel);
    }
    std::string out(const std::string &rel) const { return root + "/out/" + rel; }
    std::string host(const std::string &rel) const { return root + "/host/" + rel; }
    static void write(const std::string &p, const std::string &text) {
        plexaro_test::write_file(p, text);
    }
    static std::string read(const std::string &p) { return plexaro_test::read_file(p); }
    static bool lexists(const std::string &p) {
        struct stat st;
        return ::lstat(p.c_str(), &st) == 0;
    }
    Names skipped(const sb::HarvestResult &r) const {
        Names names;
        for (const auto &s : r.skipped) names.push_back(s.path.substr(box().size() + 1));
        return names;
    }

    std::string root;
    sb::HarvestRequest q;
};

}  // namespace

TEST(ChooseCandidate, ExactThenShortestThenByName) {
    auto pick = [](Names names, const std::string &slot) {
        const std::string *c = sb::choose_candidate(names, slot);
        return c ? *c : std::string("-");
    };
    EXPECT_EQ(pick({"bam.bam.csi", "bam.bam"}, "bam"), "bam.bam");
    EXPECT_EQ(pick({"r1_unpaired", "r1", "r1.fq"}, "r1"), "r1");
    EXPECT_EQ(pick({"out.b", "out.a"}, "out"), "out.a");
    EXPECT_EQ(pick({}, "x"), "-");
}

TEST_F(HarvestTest, LinksOutOfTheSandboxAreNeverFollowed) {
    ASSERT_EQ(::symlink(host("secret").c_str(), box("out").c_str()), 0);
    ASSERT_EQ(::symlink(host("").c_str(), box("linked_dir").c_str()), 0);
    ::mkdir(box("res").c_str(), 0777);
    write(box("res/ok"), "ok");
    ASSERT_EQ(::symlink(host("secret").c_str(), box("res/leak").c_str()), 0);
    ASSERT_EQ(::symlink("ok", box("res/inside").c_str()), 0);
    ASSERT_EQ(::symlink(host("").c_str(), box("res/dirlink").c_str()), 0);
    q.slots = {{"out", false, false, {}, {}}, {"res", true, false, {}, {}}};
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_TRUE(r.delivered[0].empty());
    EXPECT_FALSE(lexists(out("out")));
    EXPECT_EQ(r.delivered[1], (Names{out("res/ok"), out("res/inside")}));
    EXPECT_EQ(read(out("res/inside")), "ok");  // a link that stays inside is fine
    EXPECT_FALSE(lexists(out("res/leak")));
    EXPECT_FALSE(lexists(out("_extras/linked_dir")));
    Names s = skipped(r);
    std::sort(s.begin(), s.end());
    EXPECT_EQ(s, (Names{"linked_dir", "out", "res/dirlink", "res/leak"}));
}

TEST_F(HarvestTest, SpecialFilesAndCyclesAreNotCopied) {
    ASSERT_EQ(::symlink("/dev/zero", box("zero").c_str()), 0);
    ::mkdir(box("d").c_str(), 0777);
    ASSERT_EQ(::symlink("..", box("d/loop").c_str()), 0);
    ASSERT_EQ(::mkfifo(box("d/fifo").c_str(), 0666), 0);
    write(box("d/f"), "f");
    int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string sock = box("d/sock");
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
    ASSERT_EQ(::bind(s, (sockaddr *)&addr, sizeof addr), 0);
    ::close(s);
    q.slots = {{"zero", false, false, {}, {}}};
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_TRUE(r.delivered[0].empty());
    EXPECT_EQ(read(out("_extras/d/f")), "f");
    EXPECT_FALSE(lexists(out("_extras/d/fifo")));
    EXPECT_FALSE(lexists(out("_extras/d/sock")));
    EXPECT_FALSE(lexists(out("_extras/d/loop")));
    EXPECT_FALSE(lexists(out("_extras/zero")));
    Names got = skipped(r);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (Names{"d/fifo", "d/loop", "d/sock", "zero"}));
}

TEST_F(HarvestTest, CaptureReplacesALinkInsteadOfWritingThroughIt) {
    ASSERT_EQ(::symlink(host("secret").c_str(), box("bam").c_str()), 0);
    std::string saved = root + "/saved.stdout";
    write(saved, std::string("BAM\1\0\xff", 6));
    q.stdout_path = saved;
    q.capture_slot = "bam";
    q.slots = {{"bam", false, false, {}, {}}};
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_EQ(read(host("secret")), "host secret");
    EXPECT_EQ(read(out("bam")), std::string("BAM\1\0\xff", 6));
    EXPECT_FALSE(r.stdout_file);
}

TEST_F(HarvestTest, OutputLinksAreReplacedNotWrittenThrough) {
    ::mkdir(out("").c_str(), 0755);
    ASSERT_EQ(::symlink(host("secret").c_str(), out("r.txt").c_str()), 0);
    write(box("r.txt"), "result");
    q.slots = {{"r", false, false, {}, {}}};
    sb::harvest(q);
    EXPECT_EQ(read(host("secret")), "host secret");
    EXPECT_EQ(read(out("r.txt")), "result");
}

TEST_F(HarvestTest, SavedOutputIsKeptOnlyWhenNothingElseWasDelivered) {
    std::string saved = root + "/saved.stdout";
    write(saved, " \n\t\xe3\x80\x80");  // U+3000 is white space too
    q.stdout_path = saved;
    q.stdout_file_name = "t_stdout.txt";
    EXPECT_FALSE(sb::harvest(q).stdout_file);
    write(saved, "report\n");
    sb::HarvestResult r = sb::harvest(q);
    ASSERT_TRUE(r.stdout_file);
    EXPECT_EQ(read(*r.stdout_file), "report\n");
}

TEST(StreamTail, KeepsTheEndAndSaysWhatWasLeftOut) {
    EXPECT_EQ(sb::stream_tail("short", 10), "short");
    EXPECT_EQ(sb::stream_tail("0123456789abc", 4), "[9 earlier bytes left out]\n9abc");
    // Never starts inside a character: "é" is two bytes.
    EXPECT_EQ(sb::stream_tail("xx\xc3\xa9yz", 3), "[4 earlier bytes left out]\nyz");
}
