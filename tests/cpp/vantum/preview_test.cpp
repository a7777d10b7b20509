#include "vantum/preview.hpp"

#include <gtest/gtest.h>

using namespace plexaro::vantum;

namespace {

std::optional<std::string> build(std::size_t chars,
                                 std::initializer_list<std::string_view> pieces) {
    PreviewBuilder b(chars);
    for (auto piece : pieces) b.feed(piece);
    return b.finish();
}

}  // namespace

TEST(PreviewBuilder, StripsThenCutsByCodePoints) {
    EXPECT_EQ(build(200, {"  \n hello\nworld \n\n"}), "hello\nworld");
    // Five two-byte characters cut to three.
    EXPECT_EQ(build(3, {"\n\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}), "\xC3\xA9\xC3\xA9\xC3\xA9");
    // The cut counts from the first character after leading space.
    EXPECT_EQ(build(4, {"\xE3\x80\x80\xE3\x80\x80"
                        "abcdef"}),
              "abcd");
    // Space within the kept part is dropped only when nothing follows it.
    EXPECT_EQ(build(4, {"ab  "}), "ab");
    EXPECT_EQ(build(4, {"ab  cd"}), "ab  ");
    EXPECT_EQ(build(4, {"ab      \n"}), "ab");
}

TEST(PreviewBuilder, LineBreaksAreTranslatedAsTheHostReadsText) {
    EXPECT_EQ(build(200, {"a\r\nb\rc\r\r\nd\r\n"}), "a\nb\nc\n\nd");
    // A "\r\n" split between two pieces is still one break.
    EXPECT_EQ(build(200, {"a\r", "\nb"}), "a\nb");
}

TEST(PreviewBuilder, NothingForEmptyOrUndecodableText) {
    EXPECT_EQ(build(200, {""}), std::nullopt);
    EXPECT_EQ(build(200, {" \t\n\r\n"}), std::nullopt);
    EXPECT_EQ(build(200, {"text then \xFF"}), std::nullopt);
    // Undecodable bytes beyond the cut still spoil the preview, as decoding
    // comes before cutting.
    EXPECT_EQ(build(2, {"abcdef\xC0\xAF"}), std::nullopt);
    // Text ending inside a character.
    EXPECT_EQ(build(200, {"abc\xE2\x82"}), std::nullopt);
}

TEST(PreviewBuilder, CharactersSplitAcrossPiecesDecode) {
    EXPECT_EQ(build(200, {"x\xE2", "\x82", "\xACy"}), "x\xE2\x82\xACy");
    EXPECT_EQ(build(200, {"\xF0\x9F", "\x99\x82"}), "\xF0\x9F\x99\x82");
}

TEST(PreviewBuilder, ControlCharactersMeanBinaryData) {
    using namespace std::string_view_literals;
    // Tab, line feed and carriage return are text.
    EXPECT_EQ(build(200, {"a\tb\r\nc"}), "a\tb\nc");
    for (std::string_view bad : {"x\0y"sv, "\x01"sv, "a\x0b"sv, "a\x0c"sv, "\x1c"sv, "\x1f"sv,
                                 "\x7f"sv, "\xc2\x80"sv, "\xc2\x85"sv, "\xc2\x9f"sv}) {
        SCOPED_TRACE(std::string(bad));
        EXPECT_EQ(build(200, {"text ", bad, " more"}), std::nullopt);
        // Also far past the kept part, where only validity is judged.
        std::string long_line(5000, 'q');
        EXPECT_EQ(build(200, {long_line, bad, long_line}), std::nullopt);
    }
    // Neighbours of the controls are text.
    EXPECT_EQ(build(200, {"\xc2\xa0x \x7e"}), "x ~");
}

TEST(PreviewBuilder, JudgingPastTheKeptPartAcrossPieces) {
    std::string head(300, 'a');
    // A character split between pieces after the preview is full.
    EXPECT_EQ(build(200, {head + "\xE2\x82", "\xAC tail"}), head.substr(0, 200));
    EXPECT_EQ(build(200, {head + "\xE2\x82", "x"}), std::nullopt);
    // Trailing space after a full preview is still stripped.
    EXPECT_EQ(build(3, {"ab ", "   \n\n"}), "ab");
    EXPECT_EQ(build(3, {"ab ", "   \n\nc"}), "ab ");
}

TEST(PreviewBuilder, ACutInsideACharacterIsDroppedOnlyWhenSaidSo) {
    EXPECT_EQ(build(200, {"abc\xE2\x82"}), std::nullopt);
    PreviewBuilder b(200);
    b.feed("abc\xE2\x82");
    EXPECT_EQ(b.finish(/*cut=*/true), "abc");
}

TEST(PreviewBuilder, LongRunsOfSpaceAroundTheText) {
    std::string spaces(100000, ' ');
    EXPECT_EQ(build(5, {spaces + "\r\n\t", "abcdefgh", spaces, "\n"}), "abcde");
    EXPECT_EQ(build(5, {"\r", "\nab\r", "\ncd"}), "ab\ncd");
    EXPECT_EQ(build(5, {"abcde", spaces, "x"}), "abcde");
    EXPECT_EQ(build(5, {"abc", spaces}), "abc");
    EXPECT_EQ(build(5, {"abc", spaces, "\x01"}), std::nullopt);
}
