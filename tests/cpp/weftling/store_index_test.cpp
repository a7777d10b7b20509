#include "weftling/store_index.hpp"

#include <gtest/gtest.h>

using namespace plexaro::weftling;

namespace {
const std::string kHead = "# c\nimport os\n";

Statement fn(const std::string &name, std::size_t line) { return {name, {name}, line}; }
}  // namespace

TEST(StoreIndex, LineStartsCountLikeTheParser) {
    EXPECT_EQ(line_starts("a\nb\r\nc\rd"), (std::vector<std::size_t>{0, 2, 5, 7}));
    EXPECT_EQ(line_starts(""), (std::vector<std::size_t>{0}));
}

TEST(StoreIndex, RewriteRemovesWholeStatementsAndAppendsTheBatch) {
    StoreIndex index;
    std::string text =
        kHead + "\ndef a(x):\n    return 1\n\n\nCONST = 1\n\ndef b(x):\n    return 2\n";
    std::vector<Statement> statements{{"", {"os"}, 2}, fn("a", 4), {"", {"CONST"}, 8}, fn("b", 10)};
    index.reset("/p", {1, 2, 3, 4}, text, &statements);
    EXPECT_TRUE(index.matches("/p", {1, 2, 3, 4}));
    EXPECT_FALSE(index.matches("/p", {1, 2, 3, 5}));
    EXPECT_TRUE(index.defines("a") && index.defines("b") && !index.defines("CONST"));
    EXPECT_TRUE(index.binds("CONST") && index.binds("os") && !index.binds("c"));

    std::vector<Statement> batch{fn("a", 1), fn("c", 3)};
    std::string out =
        index.rewrite({"a"}, "def a(x):\n    return 9\ndef c(x):\n    return 3", &batch);
    EXPECT_EQ(out, kHead +
                       "\nCONST = 1\n\ndef b(x):\n    return 2\n\ndef a(x):\n    return 9\ndef "
                       "c(x):\n    return 3\n");
    EXPECT_FALSE(index.valid());  // until the write is committed
    index.committed({1, 2, 9, 9});
    EXPECT_TRUE(index.defines("c") && index.defines("a"));
    // A second rewrite cuts with the spans of the first.
    out = index.rewrite({"b", "c"}, "def d(x):\n    pass", nullptr);
    EXPECT_EQ(out, kHead + "\nCONST = 1\n\ndef a(x):\n    return 9\n\ndef d(x):\n    pass\n");
}

TEST(StoreIndex, TextThatDoesNotParseFallsBackToTheLineRule) {
    StoreIndex index;
    index.reset("/p", {}, kHead + "def a(:\n    x\ndef b(y):\n    pass\n", nullptr);
    EXPECT_TRUE(index.defines("a") && index.defines("b") && !index.defines("c"));
    EXPECT_EQ(index.rewrite({"a"}, "def c(z):\n    pass", nullptr),
              kHead + "def b(y):\n    pass\n\ndef c(z):\n    pass\n");
}
