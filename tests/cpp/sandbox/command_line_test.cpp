#include "sandbox/command_line.hpp"
#include "sandbox/fsops.hpp"
#include "sandbox/words.hpp"

#include <gtest/gtest.h>

namespace sb = plexaro::sandbox;
using Words = std::vector<std::string>;

TEST(Substitute, OnePassOverTheTemplate) {
    EXPECT_EQ(sb::substitute("{a} {b} {a}", {{"a", "x"}, {"b", "y"}}), "x y x");
    // Replacement texts are not read again, whatever they hold.
    EXPECT_EQ(sb::substitute("{a}", {{"a", "{b}"}, {"b", "z"}}), "{b}");
    EXPECT_EQ(sb::substitute("{b}", {{"a", "{b}"}, {"b", "{a}"}}), "{a}");
    // The first text given for a name counts.
    EXPECT_EQ(sb::substitute("{a}", {{"a", "1"}, {"a", "2"}}), "1");
    // No format-specifier meaning, no escaping; the innermost braces count.
    EXPECT_EQ(sb::substitute("{a:>3} {{a}}", {{"a", "1"}}), "{a:>3} {1}");
    EXPECT_EQ(sb::substitute("{x {a}} {", {{"a", "1"}}), "{x 1} {");
    EXPECT_EQ(sb::substitute("{}", {{"", "empty"}}), "empty");
}

TEST(Substitute, ManyPlaceholdersStayLinear) {
    std::string tmpl;
    std::vector<std::pair<std::string, std::string>> texts;
    for (int i = 0; i < 20000; ++i) {
        tmpl += "{k" + std::to_string(i) + "} ";
        texts.emplace_back("k" + std::to_string(i), "v");
    }
    std::string out = sb::substitute(tmpl, texts);
    EXPECT_EQ(out.size(), 40000u);
}

TEST(Placeholders, WholeAndPartial) {
    EXPECT_TRUE(sb::is_placeholder("{x}"));
    EXPECT_TRUE(sb::is_placeholder("{{x}"));
    EXPECT_FALSE(sb::is_placeholder("{}"));
    EXPECT_FALSE(sb::is_placeholder("{a}{b}"));
    EXPECT_FALSE(sb::is_placeholder("x{a}"));
    EXPECT_TRUE(sb::contains_placeholder("--min={q}"));
    EXPECT_TRUE(sb::contains_placeholder("{a}{b}"));
    EXPECT_TRUE(sb::contains_placeholder("{}{x}"));
    EXPECT_FALSE(sb::contains_placeholder("{}"));
    EXPECT_FALSE(sb::contains_placeholder("{x"));
    EXPECT_FALSE(sb::contains_placeholder("}x{"));
}

TEST(WalkTokens, WorkedExampleKeepsEveryWord) {
    Words tokens = sb::split_words("sort -t 4 -o sorted a.bam ref.fa");
    auto r = sb::walk_tokens(tokens, sb::NameSet{"sorted"});
    EXPECT_EQ(r.clean, tokens);
    EXPECT_FALSE(r.capture_slot);
}

TEST(WalkTokens, RedirectionsDropTheirWordAndCaptureOnlyIntoSlots) {
    sb::NameSet slots = {"out", "log"};
    auto r = sb::walk_tokens(
        {"a", ">", "out", "<", "in.txt", "2>", "err", ">>", "x", "2>>", "y", "b"}, slots);
    EXPECT_EQ(r.clean, (Words{"a", "b"}));
    EXPECT_EQ(r.capture_slot, "out");
    // The last "> slot" wins; "> out.txt" is not a slot and captures nothing.
    r = sb::walk_tokens({">", "out", ">", "log", ">", "out.txt"}, slots);
    EXPECT_TRUE(r.clean.empty());
    EXPECT_EQ(r.capture_slot, "log");
    // An operator at the end drops only itself; other forms are plain words.
    r = sb::walk_tokens({"a", "&>", "x", "1>", "y", ">"}, slots);
    EXPECT_EQ(r.clean, (Words{"a", "&>", "x", "1>", "y"}));
}

TEST(WalkTokens, UnresolvedPlaceholders) {
    sb::NameSet none;
    // A bare placeholder takes a preceding flag along.
    EXPECT_EQ(sb::walk_tokens({"-r", "{ref}", "x"}, none).clean, (Words{"x"}));
    EXPECT_EQ(sb::walk_tokens({"in", "{ref}"}, none).clean, (Words{"in"}));
    // A partial one goes alone; the flag stays.
    EXPECT_EQ(sb::walk_tokens({"-m", "--min={q}", "{a}{b}"}, none).clean, (Words{"-m"}));
    EXPECT_EQ(sb::walk_tokens({"{}", "-x"}, none).clean, (Words{"{}", "-x"}));
    // Two bare placeholders in a row remove one flag only.
    EXPECT_EQ(sb::walk_tokens({"-a", "-b", "{x}", "{y}"}, none).clean, (Words{}));
    EXPECT_EQ(sb::walk_tokens({"k", "-b", "{x}", "{y}"}, none).clean, (Words{"k"}));
}

TEST(DropEntrypoint, ByNameOrFinalComponentOnce) {
    Words w = {"samtools", "samtools", "sort"};
    sb::drop_entrypoint(w, "samtools");
    EXPECT_EQ(w, (Words{"samtools", "sort"}));
    w = {"samtools", "sort"};
    sb::drop_entrypoint(w, "/usr/bin/samtools");
    EXPECT_EQ(w, (Words{"sort"}));
    w = {"/usr/bin/samtools", "sort"};
    sb::drop_entrypoint(w, "/usr/bin/samtools");
    EXPECT_EQ(w, (Words{"sort"}));
    w = {"/opt/samtools", "sort"};
    sb::drop_entrypoint(w, "samtools");
    EXPECT_EQ(w, (Words{"/opt/samtools", "sort"}));
    EXPECT_EQ(sb::after_last_slash("a/b/"), "");
}
