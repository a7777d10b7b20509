#include "mivo/show_text.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace pm = plexaro::mivo;

namespace {
std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> out;
    for (auto line : pm::split_lines(text)) out.emplace_back(line);
    return out;
}
}  // namespace

TEST(MivoSplitLines, EveryHostBoundary) {
    using V = std::vector<std::string>;
    EXPECT_EQ(lines_of(""), V{});
    EXPECT_EQ(lines_of("a"), V{"a"});
    EXPECT_EQ(lines_of("a\n"), V{"a"});
    EXPECT_EQ(lines_of("a\n\nb"), (V{"a", "", "b"}));
    EXPECT_EQ(lines_of("a\r\nb\rc\n"), (V{"a", "b", "c"}));
    EXPECT_EQ(lines_of("a\r\rb"), (V{"a", "", "b"}));
    EXPECT_EQ(lines_of("a\n\r"), (V{"a", ""}));
    EXPECT_EQ(lines_of("a\vb\fc\x1c"
                       "d\x1d"
                       "e\x1e"
                       "f"),
              (V{"a", "b", "c", "d", "e", "f"}));
    EXPECT_EQ(lines_of("a\xc2\x85"
                       "b\xe2\x80\xa8"
                       "c\xe2\x80\xa9"
                       "d"),
              (V{"a", "b", "c", "d"}));
    // \x1f and tab are white space, not line breaks; U+2027 is neither.
    EXPECT_EQ(lines_of("a\x1f"
                       "b\tc\xe2\x80\xa7"
                       "d"),
              (V{"a\x1f"
                 "b\tc\xe2\x80\xa7"
                 "d"}));
}

TEST(MivoSplitLines, InvalidUtf8StaysInTheLine) {
    EXPECT_EQ(lines_of("\xe2\x80\nx\xff"), (std::vector<std::string>{"\xe2\x80", "x\xff"}));
}

TEST(MivoStrip, UnicodeWhiteSpace) {
    EXPECT_EQ(pm::strip(" \t\xc2\xa0"
                        "a b\xe3\x80\x80\xe2\x80\xaf "),
              "a b");
    EXPECT_EQ(pm::strip("\xe2\x80\x8b"
                        "a"),
              "\xe2\x80\x8b"
              "a");  // zero-width space is not space
    EXPECT_EQ(pm::strip("   "), "");
}

TEST(MivoShowText, EmptyTextGivesDefaults) {
    auto m = pm::parse_show_text("");
    EXPECT_FALSE(m.image);
    EXPECT_FALSE(m.entrypoint);
    EXPECT_FALSE(m.args_template);
    EXPECT_FALSE(m.gpu_required);
}

TEST(MivoShowText, LabelsTrimmedAndLaterLinesWin) {
    auto m = pm::parse_show_text(
        "  Image:   repo/img:1  \n"
        "Entrypoint: first\r\n"
        "Args template: -i {in}  -o {out}\xe2\x80\xa8"
        "Entrypoint:second\n"
        "Image:\n");
    EXPECT_EQ(m.image, "");
    EXPECT_EQ(m.entrypoint, "second");
    EXPECT_EQ(m.args_template, "-i {in}  -o {out}");
}

TEST(MivoShowText, LabelsAreCaseExactAndAtLineStart) {
    auto m =
        pm::parse_show_text("image: lower\nThe Image: inside\nENTRYPOINT: x\nargs template: y");
    EXPECT_FALSE(m.image);
    EXPECT_FALSE(m.entrypoint);
    EXPECT_FALSE(m.args_template);
}

struct GpuCase {
    const char *text;
    bool gpu;
};
void PrintTo(const GpuCase &c, std::ostream *os) {
    *os << '"';
    for (const char *p = c.text; *p; ++p)
        *os << (*p == '\n' ? std::string("\\n") : std::string(1, *p));
    *os << "\" -> " << c.gpu;
}
class MivoGpuLine : public testing::TestWithParam<GpuCase> {};

TEST_P(MivoGpuLine, RuleOfTheLine) {
    EXPECT_EQ(pm::parse_show_text(GetParam().text).gpu_required, GetParam().gpu);
}

INSTANTIATE_TEST_SUITE_P(
    MivoShowText, MivoGpuLine,
    testing::Values(GpuCase{"GPU: required", true}, GpuCase{"gpu=TRUE", true},
                    GpuCase{"Needs a Gpu: not required", true},  // still says "required"
                    GpuCase{"gpu_required: false", true}, GpuCase{"GPU: no", false},
                    GpuCase{"GPU: false", false},
                    GpuCase{"required: true", false},           // no GPU mentioned
                    GpuCase{"GPU\nrequired", false},            // words on two lines
                    GpuCase{"Image: gpu-true", false},          // the label rule comes first
                    GpuCase{"GPU: required\nGPU: no", true}));  // never returns to false
