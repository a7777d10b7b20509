#include "vantum/decompress.hpp"
#include "vantum/formats.hpp"
#include "vantum/look.hpp"

#include "scratch_dir.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

using namespace plexaro::vantum;
using namespace std::chrono_literals;
using namespace std::string_literals;
using TempDir = plexaro_test::ScratchDir;

namespace {

Clock::time_point later() { return Clock::now() + 3s; }

std::string gzip_of(const std::string &data) {
    z_stream z{};
    deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(compressBound(data.size()) + 64, '\0');
    z.next_in = (Bytef *)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef *)out.data();
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

}  // namespace

TEST(Formats, MagicBytesAndLookAlikeText) {
    EXPECT_EQ(detect_raw("BAI\1\1\0\0\0"s).name, "BAI index (BAM index)");
    EXPECT_EQ(detect_raw("CRAM\2\1rest"s).name, "CRAM 2.1 (compressed alignments)");
    EXPECT_EQ(detect_raw("%PDF-1.7\n").name, "PDF document");
    EXPECT_EQ(detect_raw("BZh91AY&SY").compression, Compression::bzip2);
    // Text that merely starts like a format stays text.
    for (std::string_view text : {"CRAM is a format\n", "%PDF\n", "BZh9 and more text\n", "BAM!\n"})
        EXPECT_EQ(detect_raw(text).name, "") << text;
    // BGZF is told by its extra field, wherever it sits among others.
    std::string other_first = "\x1f\x8b\x08\x04\0\0\0\0\0\xff\x0a\0XY\x02\0zzBC\x02\0\x10\0"s;
    EXPECT_EQ(detect_raw(other_first).name, "BGZF-compressed (bgzip, reads as gzip)");
    EXPECT_EQ(detect_raw(gzip_of("x")).name, "gzip-compressed");
    EXPECT_EQ(detect_inside("TBI\1..."s), "TBI index (tabix index)");
    EXPECT_EQ(detect_inside("##fileformat"), "");
}

TEST(Decompress, MembersStepsAndDamage) {
    using Status = Decompressor::Status;
    std::string out;
    Decompressor two(Compression::gzip, out);
    std::string packed = gzip_of("one\n") + gzip_of("two\n");
    // Fed a byte at a time: members and their magic split across pieces.
    for (char c : packed) {
        std::string_view piece(&c, 1);
        EXPECT_EQ(two.feed(piece, 100), Status::more);
    }
    EXPECT_EQ(two.finish(), Status::end);
    EXPECT_EQ(out, "one\ntwo\n");

    // A step that fills the output leaves the rest of the input for the next.
    std::string stepped;
    Decompressor steps(Compression::gzip, stepped);
    std::string many = gzip_of(std::string(50, 'z'));
    std::string_view in = many;
    EXPECT_EQ(steps.feed(in, 10), Status::full);
    EXPECT_EQ(stepped, std::string(10, 'z'));
    EXPECT_EQ(steps.feed(in, 60), Status::more);
    EXPECT_EQ(stepped, std::string(50, 'z'));
    EXPECT_TRUE(in.empty());

    std::string cut_out;
    Decompressor cut(Compression::gzip, cut_out);
    std::string whole = gzip_of("never finished\n");
    in = std::string_view(whole).substr(0, whole.size() - 6);
    EXPECT_EQ(cut.feed(in, 100), Status::more);
    EXPECT_EQ(cut.finish(), Status::error);

    std::string junk_out;
    Decompressor junk(Compression::gzip, junk_out);
    std::string trailing = gzip_of("a\n") + "\0\0\0junk"s;
    in = trailing;
    EXPECT_EQ(junk.feed(in, 100), Status::error);
}

TEST(Look, PlainTextReadsOnlyTheFirstLines) {
    TempDir t;
    std::string f = t.write("f.txt", "1\n2\n3\n4\n5\n6\n");
    EXPECT_EQ(look_at_file(f, 3, 200, later()), (FileLook{"", false, "1\n2\n3"}));
    // Bytes past the line limit are never judged.
    std::string g = t.write("g.bin", "ok\nfine\nthird\n\xFF\xFE\x00\x01"s);
    EXPECT_EQ(look_at_file(g, 3, 200, later()).preview, "ok\nfine\nthird");
    EXPECT_EQ(look_at_file(g, 5, 200, later()).preview, std::nullopt);
}

TEST(Look, LongSingleLineIsJudgedToItsEnd) {
    TempDir t;
    std::string line(1000000, 'q');
    EXPECT_EQ(look_at_file(t.write("one-line", line), 3, 200, later()).preview,
              line.substr(0, 200));
    EXPECT_EQ(look_at_file(t.write("bad-tail", line + "\xFF"), 3, 200, later()).preview,
              std::nullopt);
    EXPECT_EQ(look_at_file(t.write("nul-tail", line + "\0"s), 3, 200, later()).preview,
              std::nullopt);
}

TEST(Look, CompressedTextAndWhatIsInside) {
    TempDir t;
    FileLook text = look_at_file(t.write("r.gz", gzip_of("@r1\nACGT\n+\nIIII\n")), 3, 200, later());
    EXPECT_EQ(text, (FileLook{"gzip-compressed", true, "@r1\nACGT\n+"}));
    FileLook binary = look_at_file(t.write("b.gz", gzip_of("\x01\x02\x03\n")), 3, 200, later());
    EXPECT_EQ(binary, (FileLook{"gzip-compressed", false, std::nullopt}));
    FileLook bam = look_at_file(t.write("bam", gzip_of("BAM\1\0\0")), 3, 200, later());
    EXPECT_EQ(bam, (FileLook{"BAM (binary alignments, BGZF-compressed)", false, std::nullopt}));
    // A character split by the bound on decompressed bytes is dropped.
    std::string wide = std::string(kDecompressedBytes - 1, 'w') + "\xC3\xA9";
    FileLook cut = look_at_file(t.write("w.gz", gzip_of(wide)), 3, 5000, later());
    EXPECT_EQ(cut.preview, std::string(kDecompressedBytes - 1, 'w'));
    // Only the first lines need to be whole: a cut file or a bad byte past
    // them goes unseen.
    std::string noise;
    for (unsigned x = 1; noise.size() < 20000; x = x * 1103515245u + 12345u)
        noise += (char)(x >> 24);
    std::string reads = gzip_of("@r1\nACGT\n+\nIIII\n" + noise);
    EXPECT_EQ(look_at_file(t.write("cut.gz", reads.substr(0, reads.size() / 2)), 3, 200, later()),
              (FileLook{"gzip-compressed", true, "@r1\nACGT\n+"}));
}

TEST(Look, NothingForWhatIsNotARegularFileOrIsLate) {
    TempDir t;
    std::string fifo = t / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    auto start = Clock::now();
    EXPECT_EQ(look_at_file(fifo, 3, 200, later()), FileLook{});
    EXPECT_LT(Clock::now() - start, 1s);  // would block in open or read otherwise
    EXPECT_EQ(look_at_file(t / "missing", 3, 200, later()), FileLook{});
    EXPECT_EQ(look_at_file(t.path(), 3, 200, later()), FileLook{});
    EXPECT_EQ(look_at_file(t.write("f", "text\n"), 3, 200, Clock::now() - 1ms), FileLook{});
}
