#include "vantum/preview.hpp"

#include "tempdir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

using namespace plexaro::vantum;
using namespace std::chrono_literals;
using vantum_test::TempDir;

namespace {

std::optional<std::string> build(std::size_t chars, std::initializer_list<std::string_view> pieces) {
    PreviewBuilder b(chars);
    for (auto piece : pieces) b.feed(piece);
    return b.finish();
}

Clock::time_point later() { return Clock::now() + 3s; }

}  // namespace

TEST(PreviewBuilder, StripsThenCutsByCodePoints) {
    EXPECT_EQ(build(200, {"  \n hello\nworld \n\n"}), "hello\nworld");
    // Five two-byte characters cut to three.
    EXPECT_EQ(build(3, {"\n\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"}), "\xC3\xA9\xC3\xA9\xC3\xA9");
    // The cut counts from the first character after leading space.
    EXPECT_EQ(build(4, {"\xE3\x80\x80\xE3\x80\x80" "abcdef"}), "abcd");
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

TEST(ReadPreview, ReadsOnlyTheFirstLines) {
    TempDir t;
    std::string f = t.write("f.txt", "1\n2\n3\n4\n5\n6\n");
    EXPECT_EQ(read_preview(f, 3, 200, later()), "1\n2\n3");
    EXPECT_EQ(read_preview(f, 5, 400, later()), "1\n2\n3\n4\n5");
    // Bytes past the line limit are never decoded.
    std::string g = t.write("g.bin", "ok\nfine\nthird\n\xFF\xFE\x00\x01");
    EXPECT_EQ(read_preview(g, 3, 200, later()), "ok\nfine\nthird");
    EXPECT_EQ(read_preview(g, 5, 200, later()), std::nullopt);
}

TEST(ReadPreview, LongSingleLineIsReadToItsEndAndCut) {
    TempDir t;
    std::string line(100000, 'q');
    std::string f = t.write("one-line", line);
    EXPECT_EQ(read_preview(f, 3, 200, later()), line.substr(0, 200));
    // A bad byte far down the only line still means "not text".
    std::string g = t.write("bad-tail", line + "\xFF");
    EXPECT_EQ(read_preview(g, 3, 200, later()), std::nullopt);
}

TEST(ReadPreview, NoPreviewForWhatIsNotARegularFile) {
    TempDir t;
    std::string fifo = t / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    auto start = Clock::now();
    EXPECT_EQ(read_preview(fifo, 3, 200, later()), std::nullopt);
    EXPECT_LT(Clock::now() - start, 1s);  // would block in open or read otherwise
    EXPECT_EQ(read_preview(t / "missing", 3, 200, later()), std::nullopt);
    EXPECT_EQ(read_preview(t.path(), 3, 200, later()), std::nullopt);
}

TEST(ReadPreview, PastTheDeadlineGivesNothing) {
    TempDir t;
    std::string f = t.write("f", "text\n");
    EXPECT_EQ(read_preview(f, 3, 200, Clock::now() - 1ms), std::nullopt);
}

TEST(ReadPreviews, AReadThatDoesNotFinishInTimeLosesOnlyItsOwnPreview) {
    auto stuck = std::make_shared<std::atomic<bool>>(true);
    PreviewReader reader = [stuck](const PreviewRequest &r, Clock::time_point) {
        // "slow" ignores its deadline, as a read hung in the kernel would.
        if (r.path == "slow")
            while (stuck->load()) std::this_thread::sleep_for(5ms);
        return std::optional<std::string>("seen " + r.path);
    };
    std::vector<PreviewRequest> requests = {
        {"a", 3, 200}, {"slow", 3, 200}, {"b", 3, 200}, {"slow", 3, 200}, {"c", 3, 200}};
    auto start = Clock::now();
    auto got = read_previews(requests, 150ms, reader);
    auto took = Clock::now() - start;
    stuck->store(false);
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0], "seen a");
    EXPECT_EQ(got[1], std::nullopt);
    EXPECT_EQ(got[2], "seen b");
    EXPECT_EQ(got[3], std::nullopt);
    EXPECT_EQ(got[4], "seen c");
    EXPECT_GE(took, 300ms);
    EXPECT_LT(took, 3s);
}

TEST(ReadPreviews, ResultsKeepTheRequestOrder) {
    TempDir t;
    std::vector<PreviewRequest> requests;
    for (int i = 0; i < 40; ++i)
        requests.push_back({t.write("f" + std::to_string(i), "line " + std::to_string(i) + "\n"), 3, 200});
    requests.push_back({t / "missing", 3, 200});
    auto got = read_previews(requests, 3s);
    ASSERT_EQ(got.size(), 41u);
    for (int i = 0; i < 40; ++i) EXPECT_EQ(got[i], "line " + std::to_string(i));
    EXPECT_EQ(got[40], std::nullopt);
    EXPECT_TRUE(read_previews({}, 3s).empty());
}
