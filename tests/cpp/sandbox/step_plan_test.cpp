#include "sandbox/step_plan.hpp"
#include "sandbox/words.hpp"

#include <gtest/gtest.h>

namespace sb = plexaro::sandbox;
using Words = std::vector<std::string>;
using Kind = sb::PlanInput::Kind;

namespace {

sb::PlanInput path(const std::string &key, const std::string &src) {
    return {key, key, Kind::path, {src}, "", {}};
}
sb::PlanInput scalar(const std::string &key, const std::string &text) {
    return {key, key, Kind::scalar, {}, text, {}};
}

}  // namespace

TEST(StepPlan, WorkedExample) {
    sb::StepRequest q;
    q.inputs = {path("bam", "/data/a.bam"), scalar("threads", "4"), scalar("ref", "GRCh38")};
    q.outputs = {{"sorted", false, {}, {}}};
    q.args_template = "sort -t {threads} -o {sorted} {bam} {ref}";
    q.executable = "samtools";
    sb::StepPlan plan = sb::plan_step(q);
    EXPECT_EQ(plan.words, (Words{"sort", "-t", "4", "-o", "sorted", "a.bam", "GRCh38"}));
    ASSERT_EQ(plan.staged.size(), 1u);
    EXPECT_EQ(plan.staged[0].names, (Words{"a.bam"}));
    EXPECT_EQ(plan.input_names, (sb::NameSet{"a.bam"}));
    EXPECT_FALSE(plan.capture_slot);
}

TEST(StepPlan, SlotsOverInputsAndCapture) {
    sb::StepRequest q;
    // An input named like a slot is staged but its placeholder names the
    // slot; a scalar of that name is ignored; a value holding "{x}" stays.
    q.inputs = {path("out", "/d/in.txt"), scalar("n", "{out}"), scalar("out2", "9")};
    q.outputs = {{"out", false, {}, {}}, {"out2", false, {}, {}}};
    q.args_template = "samtools view {n} {out} > {out2}";
    q.executable = "/usr/bin/samtools";
    sb::StepPlan plan = sb::plan_step(q);
    EXPECT_EQ(plan.words, (Words{"view", "out"}));
    EXPECT_EQ(plan.capture_slot, "out2");
    EXPECT_EQ(plan.input_names, (sb::NameSet{"in.txt"}));
}

TEST(StepPlan, StagedNamesAvoidTakenEntriesAndFallBackToPositional) {
    sb::StepRequest q;
    q.inputs = {path("cfg", "/p/mivo.toml"),
                {"l", "l", Kind::paths, {"/a/x", "/b/x"}, "", {}},
                scalar("k", "v")};
    q.taken = {"mivo.toml"};
    q.args_template = "-f {missing}";
    q.executable = "t";
    q.name_text = [](const std::string &n) { return "<" + n + ">"; };
    sb::StepPlan plan = sb::plan_step(q);
    EXPECT_EQ(plan.staged[0].names, (Words{"cfg_mivo.toml"}));
    EXPECT_EQ(plan.staged[1].names, (Words{"x", "l_x"}));
    EXPECT_EQ(plan.words, (Words{"<cfg_mivo.toml>", "<x>", "<l_x>"}));
}

TEST(StepPlan, UnbalancedQuoteFails) {
    sb::StepRequest q;
    q.args_template = "a '{x}";
    q.inputs = {scalar("x", "1")};
    EXPECT_THROW(sb::plan_step(q), sb::SplitError);
}
