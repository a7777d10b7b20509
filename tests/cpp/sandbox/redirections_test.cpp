#include "sandbox/command_line.hpp"
#include "sandbox/redirections.hpp"
#include "sandbox/words.hpp"

#include <gtest/gtest.h>

namespace sb = plexaro::sandbox;
using Words = std::vector<std::string>;
using Names = std::set<std::string, std::less<>>;

namespace {

// Template to the tool's words the way a run builds them: escapes
// protected, placeholders filled, words split and walked, braces restored.
Words words_of(const std::string &tmpl,
               const std::vector<std::pair<std::string, std::string>> &values,
               const Names &slots = {}) {
    std::string text = sb::substitute(sb::protect_brace_escapes(tmpl), values);
    Words clean = sb::walk_tokens(sb::split_words(text), slots).clean;
    for (std::string &w : clean) sb::restore_braces(w);
    return clean;
}

}  // namespace

TEST(BraceEscapes, DoubledBracesReachTheToolAsBraces) {
    EXPECT_EQ(words_of("awk '{{print $1}}' {in}", {{"in", "a.txt"}}),
              (Words{"awk", "{print $1}", "a.txt"}));
    EXPECT_EQ(words_of("query -f '%ALT{{0}}\\n' {vcf}", {{"vcf", "c.vcf"}}),
              (Words{"query", "-f", "%ALT{0}\\n", "c.vcf"}));
    // "{{{a}}}" is a brace, the placeholder, a brace, as str.format reads it.
    EXPECT_EQ(words_of("x{{{a}}}y", {{"a", "1"}}), (Words{"x{1}y"}));
    EXPECT_EQ(words_of("{{a}} {{}}", {{"a", "1"}}), (Words{"{a}", "{}"}));
    // An escaped brace never forms a placeholder with a real one...
    EXPECT_EQ(words_of("{{{missing}}}", {}), Words{});
    // ...and a value cannot forge an escape: its braces are ordinary, so the
    // word still holds a placeholder and goes.
    EXPECT_EQ(words_of("-e {v} z", {{"v", "{{x}}"}}), (Words{"-e", "z"}));
}

TEST(BraceEscapes, TemplatesWithoutDoubledBracesAreUntouched) {
    for (const char *t : {"sort -o {out} {in}", "{}", "{a}}", "x}y{", "{a{b}", "", "}"})
        EXPECT_EQ(sb::protect_brace_escapes(t), t) << t;
    // The words of such templates are the ones the walk has always given.
    std::vector<std::pair<std::string, std::string>> values = {{"in", "a.bam"}, {"out", "out"}};
    for (const char *t :
         {"view -b {in} > {out}", "go {} {x} -r {ref}", "x{a}{b} -k {in}", "a}b {in}}"}) {
        Words before = sb::walk_tokens(sb::split_words(sb::substitute(t, values)), {"out"}).clean;
        EXPECT_EQ(words_of(t, values, {"out"}), before) << t;
    }
}

TEST(BraceEscapes, MarkersBecomeBraces) {
    std::string word = sb::protect_brace_escapes("{{a}}");
    EXPECT_EQ(word, std::string{sb::kOpenBraceMark} + "a" + sb::kCloseBraceMark);
    sb::restore_braces(word);
    EXPECT_EQ(word, "{a}");
}

TEST(Redirections, EachStreamToItsSlotOrInput) {
    Names slots = {"bam", "log"}, staged = {"reads.fq", "ref.fa"};
    Words tokens = sb::split_words("view -b x > bam 2> log < reads.fq");
    auto plan = sb::read_redirections(tokens, slots, staged);
    EXPECT_EQ(plan.stdout_slot, "bam");
    EXPECT_EQ(plan.stderr_slot, "log");
    EXPECT_EQ(plan.stdin_name, "reads.fq");
    // The walk drops all three pairs.
    EXPECT_EQ(sb::walk_tokens(tokens, slots).clean, (Words{"view", "-b", "x"}));
}

TEST(Redirections, TargetsThatAreNeitherSlotNorStagedInputTieNothing) {
    Names slots = {"out"}, staged = {"in.txt"};
    struct Case {
        const char *words;
        bool out, err, in;
    } cases[] = {
        {"2> out.txt < missing.txt > log", false, false, false},
        {"< out 2> in.txt", false, false,
         false},                                  // stdin is never an output, stderr never an input
        {">> out 2>> out", false, false, false},  // appending forms only drop their words
        {"2> out < in.txt", false, true, true},
        {"<", false, false, false},        // an operator at the end
        {"> > out", false, false, false},  // "> >" takes the second ">" as its word
    };
    for (const auto &c : cases) {
        auto plan = sb::read_redirections(sb::split_words(c.words), slots, staged);
        EXPECT_EQ(plan.stdout_slot.has_value(), c.out) << c.words;
        EXPECT_EQ(plan.stderr_slot.has_value(), c.err) << c.words;
        EXPECT_EQ(plan.stdin_name.has_value(), c.in) << c.words;
    }
    // The last one of a kind wins.
    auto plan =
        sb::read_redirections({"2>", "a", "2>", "b", "<", "i", "<", "j"}, {"a", "b"}, {"i", "j"});
    EXPECT_EQ(plan.stderr_slot, "b");
    EXPECT_EQ(plan.stdin_name, "j");
}
