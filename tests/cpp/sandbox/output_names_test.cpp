// Which names outputs take: "{slot}" with a declared extension, the name a
// file is delivered under, directories the tool makes itself, and error
// texts that name a directory the layer made.
#include "sandbox/harvest.hpp"
#include "sandbox/recovery.hpp"
#include "sandbox/step_plan.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <sys/stat.h>
#include <tuple>

namespace sb = plexaro::sandbox;
using Names = std::vector<std::string>;

TEST(OutputNames, ExtensionIsWrittenWhereverTheSlotIs) {
    sb::StepRequest q;
    sb::PlanOutput trimmed{"trimmed", false, {}, {}, ".fq.gz"};
    sb::PlanOutput counts{"counts", false, {}, {}, ".tsv"};
    sb::PlanOutput log{"log", false, {}, {}, ".txt"};
    sb::PlanOutput plain{"plain", false, {}, {}};
    sb::PlanOutput dir{"asm", true, {}, {}, ".d"};  // a directory keeps its name
    q.outputs = {trimmed, counts, log, plain, dir};
    q.args_template = "-o {trimmed} --p={plain} -d {asm} > {counts} 2> {log}";
    sb::StepPlan plan = sb::plan_step(q);
    EXPECT_EQ(plan.words, (Names{"-o", "trimmed.fq.gz", "--p=plain", "-d", "asm"}));
    // The streams land in the sandbox under the names the slots are written as.
    EXPECT_EQ(plan.capture_slot, "counts.tsv");
    EXPECT_EQ(plan.stderr_slot, "log.txt");
}

TEST(OutputNames, DeliveredNameKeepsAnExtensionOfTheSlotsName) {
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {"trimmed", "trimmed.fq.gz", "trimmed.fq.gz"},
        {"trimmed", "trimmed", "trimmed"},
        {"bam", "bam.S1.bam", "bam.S1.bam"},
        {"out", "outliers.txt", "out"},  // a longer name, not an extension
        {"out", "out.", "out"},
        {"bai", "x.bam.bai", "bai"},  // taken by its ending
        {"sub/x", "sub/x.tsv", "sub/x.tsv"},
        {"r?", "rx.txt", "r?"},  // a wildcard slot names no extension
    };
    for (const auto &[slot, taken, delivered] : cases)
        EXPECT_EQ(sb::delivered_name(slot, taken), delivered) << slot << " " << taken;
}

TEST(OutputNames, ErrorTextNamesAnEntryAsAPathOrQuoted) {
    const std::vector<std::pair<std::string, bool>> cases = {
        {"Output directory /workspace/assembly already exists, please change -o", true},
        {"cannot write './assembly/': exists", true},
        {"'assembly' exists", true},
        {"see /tmp/x/assembly.", true},
        {"/workspace/assembly2 exists", false},
        {"/workspace/assembly.fa exists", false},
        {"the assembly failed", false},
        {"/workspace/myassembly_x", false},
    };
    for (const auto &[text, named] : cases)
        EXPECT_EQ(sb::names_entry(text, "assembly"), named) << text;
    EXPECT_FALSE(sb::names_entry("the run timed out", "out"));
}

namespace {

class OutputHarvest : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(box().c_str(), 0777);
        q.sandbox = box();
        q.output_path = root + "/out";
    }
    std::string box(const std::string &rel = "") const {
        return root + "/box" + (rel.empty() ? "" : "/" + rel);
    }
    std::string out(const std::string &rel) const { return root + "/out/" + rel; }
    Names listing(const std::string &dir) const {
        Names names = sb::list_dir(dir);
        std::sort(names.begin(), names.end());
        return names;
    }
    plexaro_test::ScratchDir scratch;
    std::string root = scratch.path();
    sb::HarvestRequest q;
};

}  // namespace

TEST_F(OutputHarvest, ExtensionKeptWithCompanionsAndNotPutAside) {
    for (const char *n : {"bam.bam", "bam.bam.bai", "counts", "counts.tsv", "other.txt"})
        plexaro_test::write_file(box(n), n);
    q.slots = {{"bam", false, false, {}, {}}, {"counts", false, false, {}, {}}};
    sb::HarvestResult r = sb::harvest(q);
    EXPECT_EQ(r.delivered[0], Names{out("bam.bam")});
    EXPECT_EQ(r.companions[0], Names{out("bam.bam.bai")});
    EXPECT_EQ(r.delivered[1], Names{out("counts")});  // the exact name wins
    EXPECT_EQ(listing(root + "/out"), (Names{"_extras", "bam.bam", "bam.bam.bai", "counts"}));
    EXPECT_EQ(listing(root + "/out/_extras"), (Names{"counts.tsv", "other.txt"}));
    EXPECT_EQ(r.files_written.front(), "bam.bam");
}

TEST_F(OutputHarvest, DirectoryTheToolWasToMakeIsEmptyWhenMissing) {
    ::mkdir(box("other").c_str(), 0755);
    plexaro_test::write_file(box("other/f"), "f");
    sb::SlotRule made_by_tool{"asm", true, false, {}, {}, false};
    q.slots = {made_by_tool};
    sb::HarvestResult r = sb::harvest(q);
    // No stand-in: the one other directory is not taken for it.
    EXPECT_TRUE(r.delivered[0].empty());
    EXPECT_EQ(listing(root + "/out/_extras"), Names{"other"});

    sb::remove_tree(root + "/out");
    ::mkdir(box("asm").c_str(), 0755);
    plexaro_test::write_file(box("asm/contigs.fa"), ">c");
    r = sb::harvest(q);
    EXPECT_EQ(r.delivered[0], Names{out("asm/contigs.fa")});
}
