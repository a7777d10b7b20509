#include "engine/toml.hpp"

#include <gtest/gtest.h>

using namespace plexaro::engine::toml;

namespace {
Entry E(std::string key, Value v) { return Entry{std::move(key), std::move(v)}; }
}  // namespace

TEST(TomlEmitter, EmptyDocumentIsEmptyText) { EXPECT_EQ(emit_document({}), ""); }

TEST(TomlEmitter, RootScalarsComeFirstAndEndWithOneEmptyLine) {
    EXPECT_EQ(emit_document({E("a", Value::literal("1")), E("b", Value::boolean(false))}),
              "a = 1\nb = false\n\n");
}

TEST(TomlEmitter, ToolsTableLayout) {
    auto tool = Value::table(
        {E("n", Value::literal("3")), E("files", Value::array({Value::string("x.fa")}))});
    auto doc = emit_document({E("tools", Value::table({E("T", tool)}))});
    EXPECT_EQ(doc, "[tools]\n\n[tools.T]\nn = 3\nfiles = [\"x.fa\"]\n\n");
}

TEST(TomlEmitter, EmptySubTableKeepsItsHeader) {
    EXPECT_EQ(emit_document({E("K", Value::table({}))}), "[K]\n\n");
}

TEST(TomlEmitter, ScalarsBeforeSubTablesWhateverTheOrder) {
    auto doc = emit_document(
        {E("sub", Value::table({E("x", Value::literal("1"))})), E("top", Value::string("v"))});
    EXPECT_EQ(doc, "top = \"v\"\n\n[sub]\nx = 1\n\n");
}

TEST(TomlEmitter, NestedHeadersAreDotted) {
    auto inner = Value::table({E("c", Value::table({E("k", Value::literal("2"))}))});
    EXPECT_EQ(emit_document({E("a", Value::table({E("b", inner)}))}),
              "[a]\n\n[a.b]\n\n[a.b.c]\nk = 2\n\n");
}

TEST(TomlEmitter, KeysThatAreNotBareAreQuotedEverywhere) {
    EXPECT_EQ(key_text("bwa-mem2_x9"), "bwa-mem2_x9");
    EXPECT_EQ(key_text("org/tool"), "\"org/tool\"");
    EXPECT_EQ(key_text("a.b"), "\"a.b\"");
    EXPECT_EQ(key_text(""), "\"\"");
    EXPECT_EQ(key_text("sp ace"), "\"sp ace\"");
    auto doc = emit_document(
        {E("tools", Value::table({E("org/t.1", Value::table({E("a b", Value::literal("1"))}))}))});
    EXPECT_EQ(doc, "[tools]\n\n[tools.\"org/t.1\"]\n\"a b\" = 1\n\n");
}

struct Escape {
    std::string in, out;
};
class TomlStrings : public ::testing::TestWithParam<Escape> {};
TEST_P(TomlStrings, Escaped) { EXPECT_EQ(basic_string(GetParam().in), GetParam().out); }
INSTANTIATE_TEST_SUITE_P(
    Cases, TomlStrings,
    ::testing::Values(Escape{"plain", "\"plain\""}, Escape{"C:\\x \"q\"", "\"C:\\\\x \\\"q\\\"\""},
                      Escape{"a\nb\tc\rd", "\"a\\nb\\tc\\rd\""},
                      Escape{std::string("\x01\x1f\x7f\b\f", 5), "\"\\u0001\\u001F\\u007F\\b\\f\""},
                      Escape{std::string("nul\0end", 7), "\"nul\\u0000end\""},
                      Escape{"h\xc3\xa9llo", "\"h\xc3\xa9llo\""}));

TEST(TomlEmitter, ArraysNestAndTablesInsideThemAreInline) {
    auto v =
        Value::array({Value::array({}), Value::literal("1.5"),
                      Value::table({E("k", Value::string("v")), E("n m", Value::literal("2"))}),
                      Value::table({})});
    EXPECT_EQ(format_value(v), "[[], 1.5, { k = \"v\", \"n m\" = 2 }, {}]");
    EXPECT_EQ(format_value(Value::array({})), "[]");
    EXPECT_EQ(format_value(Value::boolean(true)), "true");
}
