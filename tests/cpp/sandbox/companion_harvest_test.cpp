#include "sandbox/harvest.hpp"
#include "sandbox/step_plan.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace sb = plexaro::sandbox;
using Names = std::vector<std::string>;
using Kind = sb::PlanInput::Kind;

namespace {

sb::PlanInput path_input(const std::string &key, const std::string &src) {
    sb::PlanInput in;
    in.key = in.key_fs = key;
    in.kind = Kind::path;
    in.sources = {src};
    return in;
}

}  // namespace

TEST(StepPlanStreams, RedirectionsFromInputAndBraces) {
    sb::StepRequest q;
    q.inputs = {path_input("bam", "/h/x.bam"), path_input("reads", "/h/r.fq")};
    q.outputs = {
        {"bam", false, std::string("bam"), {}}, {"log", false, {}, {}}, {"out", false, {}, {}}};
    q.args_template = "index {bam} -f '%ALT{{0}}' < {reads} 2> {log} > {out}";
    sb::StepPlan plan = sb::plan_step(q);
    // The handed-on slot reads as its input; the streams are tied, their words gone.
    EXPECT_EQ(plan.words, (Names{"index", "x.bam", "-f", "%ALT{0}"}));
    EXPECT_EQ(plan.capture_slot, "out");
    EXPECT_EQ(plan.stderr_slot, "log");
    EXPECT_EQ(plan.stdin_name, "r.fq");
    ASSERT_EQ(plan.from_staged.size(), 3u);
    EXPECT_EQ(plan.from_staged[0], std::optional<std::size_t>(0));
    EXPECT_FALSE(plan.from_staged[1]);

    // A handed-on slot is no stream target; a slot handing on an input that
    // was not staged keeps its own name.
    q.inputs = {path_input("reads", "/h/r.fq")};
    q.args_template = "x {bam} > {bam} 2> {bam}";
    plan = sb::plan_step(q);
    EXPECT_EQ(plan.words, (Names{"x", "bam"}));
    EXPECT_FALSE(plan.capture_slot);
    EXPECT_FALSE(plan.stderr_slot);
    EXPECT_FALSE(plan.from_staged[0]);
}

namespace {

class CompanionHarvest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/companion_harvest_test_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        root = tmpl;
        ::mkdir(box().c_str(), 0777);
        ::mkdir((root + "/host").c_str(), 0755);
        q.sandbox = box();
        q.output_path = root + "/out";
    }
    void TearDown() override { sb::remove_tree(root); }
    std::string box(const std::string &rel = "") const {
        return root + "/box" + (rel.empty() ? "" : "/" + rel);
    }
    std::string out(const std::string &rel) const { return root + "/out/" + rel; }
    static void write(const std::string &p, const std::string &text) {
        plexaro_test::write_file(p, text);
    }
    static std::string read(const std::string &p) { return plexaro_test::read_file(p); }
    Names listing(const std::string &dir) const {
        Names names = sb::list_dir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string root;
    sb::HarvestRequest q;
};

}  // namespace

TEST_F(CompanionHarvest, SlotCompanionsSuffixMatchAndInputIndexes) {
    for (const char *n : {"sorted.bam", "sorted.bam.bai", "x.fa", "x.fa.fai", "note"})
        write(box(n), n);
    write(box("in.bam"), "input");
    write(box("in.bam.csi"), "index written by the tool");
    ::symlink((root + "/host/secret").c_str(),
              box("sorted.bam.csi").c_str());  // leads out: never read
    write(root + "/host/secret", "secret");
    q.slots = {{"bam", false, false, {}, {}}, {"fai", false, false, {}, {}}};
    q.input_names = {"in.bam"};
    q.input_companions = {{"in.bam", {}}};
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_EQ(r.delivered[0], Names{out("bam")});
    EXPECT_EQ(r.companions[0], Names{out("bam.bai")});
    EXPECT_EQ(read(out("bam")), "sorted.bam");
    // "fai": no name starts with it; x.fa.fai is the one ending in ".fai".
    EXPECT_EQ(r.delivered[1], Names{out("fai")});
    EXPECT_EQ(read(out("fai")), "x.fa.fai");
    EXPECT_EQ(r.input_companions, Names{out("in.bam.csi")});
    EXPECT_EQ(listing(root + "/out"), (Names{"_extras", "bam", "bam.bai", "fai", "in.bam.csi"}));
    // Companions are not put aside again; the primaries are, as always.
    EXPECT_EQ(listing(root + "/out/_extras"), (Names{"note", "sorted.bam", "x.fa", "x.fa.fai"}));
    EXPECT_EQ(r.skipped.size(), 1u);
}

TEST_F(CompanionHarvest, FromInputHandsOnTheStagedFileWithOldAndNewCompanions) {
    write(box("x.bam"), "bam");
    write(box("x.bam.csi"), "staged csi");
    write(box("x.bam.bai"), "new bai");
    ::mkdir(box("refdir").c_str(), 0755);
    write(box("refdir/ref.fa"), ">r");
    q.slots = {{"bam", false, true, "x.bam", {}},
               {"ref", true, true, "refdir", {}},
               {"none", false, true, "", {}}};
    q.input_names = {"x.bam", "x.bam.csi", "refdir"};
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_EQ(r.delivered[0], Names{out("bam")});
    EXPECT_EQ(r.companions[0], (Names{out("bam.bai"), out("bam.csi")}));
    EXPECT_EQ(read(out("bam.csi")), "staged csi");
    EXPECT_EQ(r.delivered[1], Names{out("ref/ref.fa")});
    EXPECT_TRUE(r.delivered[2].empty());
    EXPECT_EQ(listing(root + "/out"), (Names{"bam", "bam.bai", "bam.csi", "ref"}));
}

TEST_F(CompanionHarvest, StandardErrorIntoItsSlotOrAfterStandardOutput) {
    write(root + "/saved.out", "out text\n");
    write(root + "/saved.err", "err text\n");
    q.slots = {{"log", false, false, {}, {}}, {"out", false, false, {}, {}}};
    q.stdout_path = root + "/saved.out";
    q.capture_slot = "out";
    q.stderr_path = root + "/saved.err";
    q.stderr_slot = "log";
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_EQ(read(out("log")), "err text\n");
    EXPECT_EQ(read(out("out")), "out text\n");

    // "> {out} 2> {out}": one file, standard error last.
    sb::remove_tree(root + "/out");
    for (const char *n : {"log", "out"}) ::unlink(box(n).c_str());
    write(root + "/saved.out", "out text\n");
    write(root + "/saved.err", "err text\n");
    q.stderr_slot = "out";
    r = sb::harvest(q);
    EXPECT_EQ(read(out("out")), "out text\nerr text\n");
    EXPECT_TRUE(r.delivered[0].empty());

    // Empty standard error fills no slot.
    sb::remove_tree(root + "/out");
    ::unlink(box("out").c_str());
    write(root + "/saved.err", "");
    q.stderr_slot = "log";
    q.capture_slot.reset();
    r = sb::harvest(q);
    EXPECT_TRUE(r.delivered[0].empty());
}
