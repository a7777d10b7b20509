#include "weftling/prompt.hpp"

#include <gtest/gtest.h>

using namespace plexaro::weftling;

TEST(FormatField, ShowsTypeMarkerTagsAndDescription) {
    EXPECT_EQ(format_field("k", "str", Required::optional, {}, ""), "  - k: str (optional) — ");
    EXPECT_EQ(format_field("k", "str", Required::hidden, {}, ""), "  - k: str — ");
    EXPECT_EQ(format_field("seq", "list[str]", Required::required,
                           {{"entity", "'protein'"}, {"fallback", "False"}}, "the inputs"),
              "  - seq: list[str] (required) [entity='protein', fallback=False] — the inputs");
}

TEST(CutValue, KeepsEightyCodePoints) {
    std::string long_text(100, 'x');
    EXPECT_EQ(cut_value(long_text), std::string(80, 'x'));
    std::string accents;
    for (int i = 0; i < 90; ++i) accents += "\xc3\xa9";
    EXPECT_EQ(cut_value(accents).size(), 160u);
    EXPECT_EQ(cut_value("'ab'"), "'ab'");
}

TEST(Blocks, EndWithAnEmptyLine) {
    EXPECT_EQ(downstream_manifest_block("t", {"  - a: int — "}),
              "DOWNSTREAM tool 't' inputs (from MANIFEST):\n  - a: int — \n\n");
    EXPECT_EQ(upstream_outputs_block("u", "edge_u_to_t", {}),
              "--- UPSTREAM 'u' (function name: edge_u_to_t) ---\nOutputs (from MANIFEST):\n\n\n");
    EXPECT_EQ(
        upstream_inputs_block("u", "f", {"  - a: int — "}, std::string("{'b': \"'x'\"}")),
        "--- UPSTREAM 'u' (function name: f) ---\nInputs (from MANIFEST — these are the values "
        "that just flowed into this node):\n  - a: int — \nAdditional keys available at runtime "
        "(pass through if name matches a downstream field): {'b': \"'x'\"}\n\n");
}

TEST(FixedTexts, HaveTheirShapes) {
    EXPECT_EQ(texts::kRules.substr(0, 24), " connector function(s).\n");
    EXPECT_EQ(texts::kRules.substr(texts::kRules.size() - 3), ".\n\n");
    EXPECT_NE(texts::kRules.find("must     conform"), std::string_view::npos);
    EXPECT_NE(texts::kScatter.find("(a) a LIST  — e.g."), std::string_view::npos);
    EXPECT_EQ(texts::kScatter.substr(0, 7), "' must ");
    EXPECT_EQ(texts::kCoding.substr(texts::kCoding.size() - 12), "\n\nWrite all ");
    for (std::string_view t : {texts::kRules, texts::kScatter, texts::kCoding})
        EXPECT_EQ(t.find('"'), std::string_view::npos);
}

namespace {
PromptParts batch() {
    PromptParts p;
    p.downstream_id = "c";
    p.downstream_block = "DOWN\n\n";
    p.upstream_blocks = {"UP A\n\n", "UP B\n\n"};
    p.names = {"edge_a_to_c", "edge_b_to_c"};
    return p;
}
}  // namespace

TEST(BuildPrompt, CountsAndNamesTheBatch) {
    std::string prompt = build_prompt(batch());
    EXPECT_TRUE(
        prompt.starts_with("You are a Python coding agent. Write syntactically valid Python "
                           "only — no prose, no markdown.\n\nYOUR JOB: Write 2 connector "
                           "function(s).\nA connector receives"));
    const std::string tail =
        "DOWNSTREAM TOOL 'c' — fields it needs:\nDOWN\n\nUPSTREAMS TO GENERATE "
        "CONNECTORS FOR:\nUP A\n\n\nUP B\n\n\nCODING CONSTRAINTS:\n  - Signature: "
        "def <name>(output: dict) -> dict\n";
    EXPECT_NE(prompt.find(tail), std::string::npos);
    EXPECT_TRUE(prompt.ends_with(
        "Write all 2 function(s) with these exact names: edge_a_to_c, edge_b_to_c."));
}

TEST(BuildPrompt, ScatterOnlyForANameInTheBatch) {
    PromptParts p = batch();
    p.scatter_fn = "edge_x_to_c";
    EXPECT_FALSE(is_scatter(p));
    EXPECT_EQ(build_prompt(p).find("STEP 3b —"), std::string::npos);
    p.scatter_fn = "edge_b_to_c";
    p.split_key = "items";
    EXPECT_TRUE(is_scatter(p));
    std::string prompt = build_prompt(p);
    EXPECT_NE(
        prompt.find("STEP 3b — SCATTER / MAP DOWNSTREAM (applies ONLY to function 'edge_b_to_c')\n"
                    "The downstream runs ONCE PER ITEM of the upstream collection. The upstream "
                    "key 'items' holds the collection to fan out. So 'edge_b_to_c' must return"),
        std::string::npos);
    EXPECT_NE(prompt.find("EXCEPT function 'edge_b_to_c' which returns list[dict]"),
              std::string::npos);
}

TEST(BuildPrompt, NotesForInputNodesAndStoredSiblings) {
    PromptParts p = batch();
    p.input_node_names = {"a"};
    EXPECT_NE(build_prompt(p).find("\n\nAll upstreams are InputNodes (user-provided data)."),
              std::string::npos);
    p.regular_node_names = {"b", "s"};
    p.stored = {{"s", "edge_s_to_c", false}, {"i", "edge_i_to_c", true}};
    std::string prompt = build_prompt(p);
    EXPECT_NE(prompt.find("PRIORITY: InputNode upstreams (a) supply"), std::string::npos);
    EXPECT_NE(prompt.find("regular tool connectors (b, s) must NOT"), std::string::npos);
    EXPECT_NE(prompt.find("cover.\n\nALREADY-GENERATED CONNECTORS (do NOT regenerate these):\n"
                          "  - s (edge_s_to_c)\n  - i (edge_i_to_c) [InputNode]\nTreat any field"),
              std::string::npos);
}

TEST(BuildPrompt, ExtraContextIsTrimmedAndWhiteSpaceOnlyStillCounts) {
    PromptParts p = batch();
    p.extra_context = " \n ";
    EXPECT_NE(build_prompt(p).find("UP B\n\n\nADDITIONAL CONTEXT:\n\n\n\nCODING"),
              std::string::npos);
    p.extra_context = "\tfiles:\n  a\n";
    EXPECT_NE(build_prompt(p).find("\nADDITIONAL CONTEXT:\nfiles:\n  a\n\n\nCODING"),
              std::string::npos);
    p.extra_context = "";
    EXPECT_EQ(build_prompt(p).find("\nADDITIONAL CONTEXT:\n"), std::string::npos);
}
