#include "stepcache/step.hpp"
#include "scratch.hpp"

namespace sc = plexaro::stepcache;
using stepcache_test::Scratch;

namespace {

class CachedStepTest : public Scratch {
protected:
    void SetUp() override {
        Scratch::SetUp();
        write("in/a.bam", "reads");
        settings.dir = path("cache");
    }
    sc::StepFacts facts() const {
        sc::StepFacts f;
        f.tool = "samtools";
        f.image = "samtools:1.16";
        f.manifest = {{"args_template", "'sort -o {sorted} {bam}'"}};
        f.words = {"samtools", "sort", "-o", "sorted", "a.bam"};
        f.inputs = {{"bam", path("in/a.bam"), "a.bam"}};
        f.slots = {"sorted"};
        return f;
    }
    // What the tool run would have placed.
    sc::PlacedOutputs run_into(const std::string &out) const {
        write(out + "/sorted", "sorted reads");
        write(out + "/_extras/log.txt", "log");
        sc::PlacedOutputs placed;
        placed.dirs = {"_extras"};
        placed.files = {"sorted", "_extras/log.txt"};
        placed.slots = {{"sorted", {"sorted"}}};
        return placed;
    }
    std::vector<std::string> log_lines() const {
        std::vector<std::string> lines;
        std::string text = read("cache/runs.jsonl");
        for (std::size_t pos = 0, nl; (nl = text.find('\n', pos)) != std::string::npos;
             pos = nl + 1)
            lines.push_back(text.substr(pos, nl - pos));
        return lines;
    }
    sc::Settings settings;
};

}  // namespace

TEST_F(CachedStepTest, MissStoresHitPlacesAndBothAreLogged) {
    sc::CachedStep first(settings, facts(), path("out1"));
    ASSERT_TRUE(first.key());
    EXPECT_FALSE(first.reuse());
    first.succeeded(facts().words, run_into("out1"));
    EXPECT_TRUE(first.take_warnings().empty());

    sc::CachedStep second(settings, facts(), path("out2"));
    EXPECT_EQ(second.key(), first.key());
    auto entry = second.reuse();
    ASSERT_TRUE(entry);
    EXPECT_EQ(read("out2/sorted"), "sorted reads");
    EXPECT_EQ(read("out2/_extras/log.txt"), "log");
    ASSERT_EQ(entry->slots.size(), 1u);
    EXPECT_EQ(entry->slots[0].delivered, std::vector<std::string>{"sorted"});

    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find("\"cache_hit\":false"), std::string::npos);
    EXPECT_NE(lines[1].find("\"cache_hit\":true"), std::string::npos);
    EXPECT_NE(
        lines[1].find("\"slot\":\"sorted\",\"path\":\"" + path("out2/sorted") + "\",\"size\":12"),
        std::string::npos);
    EXPECT_NE(lines[1].find("\"key\":\"" + *first.key() + "\""), std::string::npos);
}

TEST_F(CachedStepTest, ChangedInputFailedRunAndUnreadableInput) {
    sc::CachedStep first(settings, facts(), path("out1"));
    first.succeeded(facts().words, run_into("out1"));

    write("in/a.bam", "other reads");
    sc::CachedStep changed(settings, facts(), path("out2"));
    EXPECT_NE(changed.key(), first.key());
    EXPECT_FALSE(changed.reuse());
    changed.failed(facts().words, "mivo exec samtools sort failed (exit 3):\nSTDOUT: x");
    sc::CachedStep again(settings, facts(), path("out3"));
    EXPECT_FALSE(again.reuse());  // a failed run stored nothing
    auto lines = log_lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\"exit_status\":3"), std::string::npos);
    EXPECT_NE(lines[1].find("\"error\":\"mivo exec samtools sort failed (exit 3):\","),
              std::string::npos);

    sc::StepFacts missing = facts();
    missing.inputs[0].source = path("in/gone.bam");
    sc::CachedStep unreadable(settings, missing, path("out4"));
    EXPECT_FALSE(unreadable.key());
    EXPECT_FALSE(unreadable.reuse());
    EXPECT_EQ(unreadable.take_warnings().size(), 1u);
}

TEST_F(CachedStepTest, OffCacheWritesOnlyTheHostsLog) {
    sc::Settings log_only;
    log_only.run_log = path("host-runs.jsonl");
    sc::CachedStep step(log_only, facts(), path("out"));
    EXPECT_FALSE(step.key());
    EXPECT_FALSE(step.reuse());
    step.succeeded(facts().words, run_into("out"));
    EXPECT_FALSE(present("cache"));
    std::string line = read("host-runs.jsonl");
    EXPECT_NE(line.find("\"hash\":\"xxh3-128:"), std::string::npos);
    EXPECT_NE(line.find("\"key\":null"), std::string::npos);
}

TEST(ExitStatus, FromMessages) {
    EXPECT_EQ(sc::exit_status_in("mivo exec x failed (exit 2):\nSTDOUT:"), 2);
    EXPECT_EQ(sc::exit_status_in("failed (exit -9)"), -9);
    EXPECT_EQ(sc::exit_status_in("mivo exec x timed out after 3600 s"), std::nullopt);
    EXPECT_EQ(sc::exit_status_in("(exit 12"), std::nullopt);
}
