#include "weftling/source.hpp"

#include <gtest/gtest.h>

using namespace plexaro::weftling;

namespace {
bool ascii_word(char32_t cp) {
    return cp == U'_' || (cp >= U'0' && cp <= U'9') || (cp >= U'a' && cp <= U'z') ||
           (cp >= U'A' && cp <= U'Z') || cp == U'é';
}
}  // namespace

TEST(Strip, UsesTheHostsWhiteSpace) {
    EXPECT_EQ(py_strip(" \t\n\r\v\f\x1c\x1f x y \xc2\x85\xc2\xa0\xe2\x80\xa8\xe3\x80\x80"), "x y");
    EXPECT_EQ(py_strip("\xe2\x80\x8b"
                       "x"),
              "\xe2\x80\x8b"
              "x");  // zero-width space is not white space
    EXPECT_EQ(py_rstrip("  a \n\n"), "  a");
    EXPECT_EQ(py_strip(" \n "), "");
}

TEST(SourceLines, CountLikeTheParser) {
    EXPECT_EQ(source_lines("a\nb\r\nc\rd"), (std::vector<std::string_view>{"a", "b", "c", "d"}));
    EXPECT_EQ(source_lines("a\n"), (std::vector<std::string_view>{"a"}));
    EXPECT_EQ(source_lines("a\n\n"), (std::vector<std::string_view>{"a", ""}));
    EXPECT_TRUE(source_lines("").empty());
    // Form feeds and Unicode separators are not line ends to the parser.
    EXPECT_EQ(source_lines("'a\xe2\x80\xa8"
                           "b'\fc"),
              (std::vector<std::string_view>{"'a\xe2\x80\xa8"
                                             "b'\fc"}));
}

TEST(Ident, KeepsTextAfterTheLastDotAndReplacesNonWordCharacters) {
    EXPECT_EQ(ident("autodock-vina", ascii_word), "autodock_vina");
    EXPECT_EQ(ident("pipe.fold", ascii_word), "fold");
    EXPECT_EQ(ident("x.", ascii_word), "");
    EXPECT_EQ(ident("caf\xc3\xa9 \xe2\x86\x92", ascii_word),
              "caf\xc3\xa9__");                   // one "_" per character
    EXPECT_EQ(ident("\xff-", ascii_word), "__");  // stray byte: one character
    EXPECT_EQ(edge_fn("a b", "c", ascii_word), "edge_a_b_to_c");
    EXPECT_EQ(edge_fn("x.", "y-z", ascii_word), "edge__to_y_z");
}

TEST(StripFences, RemovesOpeningLineAndClosingFence) {
    EXPECT_EQ(strip_fences("```python\ndef f(): pass\n```"), "def f(): pass");
    EXPECT_EQ(strip_fences("  ```Python3\ndef f(): pass\n```\n"), "3\ndef f(): pass");
    EXPECT_EQ(strip_fences("```def f(): pass```"), " f(): pass");  // "def" reads as a language word
    EXPECT_EQ(strip_fences("a\n```\nb\n```"), "a\n```\nb");        // inner fences stay
    EXPECT_EQ(strip_fences("``````"), "");
    EXPECT_EQ(strip_fences("x ```"), "x ");
}

TEST(TrimToFirstDef, DropsEverythingBeforeTheFirstFunction) {
    EXPECT_EQ(trim_to_first_def("Sure!\r\nimport re\n  def f():\n    pass\n"),
              "  def f():\n    pass");
    EXPECT_EQ(trim_to_first_def("no functions\r\nhere\n"), "no functions\r\nhere\n");
    EXPECT_EQ(trim_to_first_def("define x\ndef(\ndef g(): pass"), "def g(): pass");
}

TEST(RemoveLines, DropsByIndexAndRejoins) {
    EXPECT_EQ(remove_lines("a\r\nb\nc\rd", {1, 3}), "a\nc");
    EXPECT_EQ(remove_lines("a\n", {}), "a");
    EXPECT_EQ(remove_lines("a", {0}), "");
}

TEST(MissingImports, LeavesOutImportedPreImportedAndBoundNames) {
    EXPECT_EQ(missing_imports({"shutil", "re", "os", "json", "glob", "tempfile", "string", "abc"},
                              {"abc"}, {"string"}),
              (std::vector<std::string>{"re", "shutil"}));
    EXPECT_TRUE(missing_imports({}, {}, {}).empty());
}

TEST(InsertImports, GoesBeforeTheFirstStatementWithItsIndentation) {
    BodyStart body{2, 1, false, std::nullopt};
    EXPECT_EQ(insert_imports("def f(x):\n\treturn re.x(shutil)\n", body, {"re", "shutil"}),
              "def f(x):\n\timport re\n\timport shutil\n\treturn re.x(shutil)");
    BodyStart after_signature{3, 4, false, std::nullopt};
    EXPECT_EQ(insert_imports("def f(a,\n      b):\n    return re", after_signature, {"re"}),
              "def f(a,\n      b):\n    import re\n    return re");
}

TEST(InsertImports, KeepsTheDocstringFirst) {
    BodyStart body{2, 4, true, std::pair<std::size_t, std::size_t>{5, 4}};
    EXPECT_EQ(
        insert_imports("def f():\n    \"\"\"Doc\n\n    more\"\"\"\n    return re", body, {"re"}),
        "def f():\n    \"\"\"Doc\n\n    more\"\"\"\n    import re\n    return re");
    // A statement sharing the docstring's line: the imports go before the docstring.
    BodyStart shared{2, 4, true, std::pair<std::size_t, std::size_t>{2, 12}};
    EXPECT_EQ(insert_imports("def f():\n    \"\"\"D\"\"\"; return re", shared, {"re"}),
              "def f():\n    import re\n    \"\"\"D\"\"\"; return re");
}

TEST(InsertImports, GivesABodyOnTheSignatureLineLinesOfItsOwn) {
    BodyStart body{1, 11, false, std::nullopt};
    EXPECT_EQ(insert_imports("def f(x):  return re.x; y = 1\ndef g(): pass", body, {"re"}),
              "def f(x):\n    import re\n    return re.x; y = 1\ndef g(): pass");
}

TEST(InsertImports, RefusesPositionsOutsideTheText) {
    EXPECT_FALSE(insert_imports("def f(): pass", BodyStart{3, 0, false, std::nullopt}, {"re"}));
    EXPECT_FALSE(insert_imports("def f(): pass", BodyStart{1, 40, false, std::nullopt}, {"re"}));
    EXPECT_FALSE(insert_imports("def f(): pass", BodyStart{0, 0, false, std::nullopt}, {"re"}));
}

TEST(ConnectorsFile, FindsOnlyDefinitionsAtTheStartOfALine) {
    const std::string text = std::string(kHeader) + "\ndef edge_a_to_b(output):\n    pass\n";
    EXPECT_TRUE(defines_function(text, "edge_a_to_b"));
    EXPECT_FALSE(defines_function(text, "edge_a"));
    EXPECT_FALSE(defines_function("    def edge_x(o): pass\n# def edge_y(o)\n", "edge_x"));
    EXPECT_FALSE(defines_function("# def edge_y(o)\n", "edge_y"));
    EXPECT_TRUE(defines_function("def edge_x(", "edge_x"));
}

TEST(ConnectorsFile, RemovesADefinitionUpToTheNextTopLevelDef) {
    const std::string text =
        "# h\n\ndef a(o):\n    pass\n\ndef b(o):\n    def a(x): pass\n    return 1\n\n"
        "@dec\ndef c(o):\n    pass\n\ndef b(o):\n    return 2\n";
    EXPECT_EQ(remove_function(text, "b"), "# h\n\ndef a(o):\n    pass\n\ndef c(o):\n    pass\n\n");
    EXPECT_EQ(remove_function(text, "a"),
              "# h\n\ndef b(o):\n    def a(x): pass\n    return 1\n\n"
              "@dec\ndef c(o):\n    pass\n\ndef b(o):\n    return 2\n");
    EXPECT_EQ(remove_function(text, "zz"), text);
    // Without a line feed after it, nothing ends the last definition.
    EXPECT_EQ(remove_function("def a(o): pass", "a"), "def a(o): pass");
    EXPECT_EQ(remove_function("def a(o): pass\ndef a(o): return 2", "a"), "def a(o): return 2");
}

TEST(ConnectorsFile, AppendsABatchAfterOneEmptyLine) {
    EXPECT_EQ(append_batch(std::string(kHeader) + "\n\n \n", "def f(): pass"),
              std::string(kHeader) + "\ndef f(): pass\n");
    EXPECT_EQ(append_batch("", "x"), "\n\nx\n");
}
