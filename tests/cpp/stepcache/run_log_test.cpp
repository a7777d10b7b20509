#include "stepcache/run_log.hpp"
#include "scratch.hpp"

#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sc = plexaro::stepcache;
using stepcache_test::Scratch;

TEST(RunLog, JsonStringsKeepEveryByte) {
    EXPECT_EQ(sc::json_string("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(sc::json_string("r\xc3\xa9sum\xc3\xa9"), "\"r\xc3\xa9sum\xc3\xa9\"");  // UTF-8 kept
    EXPECT_EQ(sc::json_string("bad\xff"), "\"bad\\udcff\"");                         // a raw byte
    EXPECT_EQ(sc::json_string("sur\xed\xb3\xbf"), "\"sur\\udcff\"");  // a carried surrogate
}

TEST(RunLog, RecordLine) {
    sc::RunRecord r;
    r.tool = "samtools";
    r.image = "samtools:1.16";
    r.words = {"samtools", "sort"};
    r.inputs = {{"bam", "/data/a.bam", 10, "xxh3-128:00"}};
    r.outputs = {{"sorted", "/out/sorted", 9, std::nullopt},
                 {"", "/out/_extras/x", 1, std::nullopt}};
    r.started = "s";
    r.ended = "e";
    r.seconds = 1.5;
    r.exit_status = -9;
    r.cache_hit = true;
    std::string line = sc::run_record_line(r);
    EXPECT_EQ(line,
              "{\"tool\":\"samtools\",\"image\":\"samtools:1.16\",\"args\":[\"samtools\",\"sort\"],"
              "\"inputs\":[{\"input\":\"bam\",\"path\":\"/data/"
              "a.bam\",\"size\":10,\"hash\":\"xxh3-128:00\"}],"
              "\"outputs\":[{\"slot\":\"sorted\",\"path\":\"/out/sorted\",\"size\":9},"
              "{\"slot\":null,\"path\":\"/out/_extras/x\",\"size\":1}],"
              "\"started\":\"s\",\"ended\":\"e\",\"seconds\":1.500000,\"exit_status\":-9,"
              "\"cache_hit\":true,\"key\":null,\"executor\":null,\"job_id\":null,\"node\":null,"
              "\"state\":null,\"cpu_seconds\":null,\"peak_memory\":null}\n");
    r.execution = sc::Execution{"slurm", "42", "node7", "COMPLETED", 1.25, 1048576};
    EXPECT_NE(sc::run_record_line(r).find(
                  "\"executor\":\"slurm\",\"job_id\":\"42\",\"node\":\"node7\",\"state\":"
                  "\"COMPLETED\",\"cpu_seconds\":1.250000,\"peak_memory\":1048576}"),
              std::string::npos);
}

TEST(RunLog, Timestamp) {
    using namespace std::chrono;
    system_clock::time_point t{microseconds(1765198232123456LL)};
    EXPECT_EQ(sc::utc_timestamp(t), "2025-12-08T12:50:32.123456Z");
}

class RunLogFile : public Scratch {};

TEST_F(RunLogFile, ConcurrentWritersNeverInterleave) {
    // Two processes with two threads each append long lines to one log.
    const std::string log = path("runs.jsonl");
    auto writer = [&](char fill) {
        for (int i = 0; i < 50; ++i) sc::append_line(log, std::string(70000, fill) + "\n");
    };
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::thread a(writer, 'a'), b(writer, 'b');
        a.join();
        b.join();
        ::_exit(0);
    }
    std::thread c(writer, 'c'), d(writer, 'd');
    c.join();
    d.join();
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    std::string text = read("runs.jsonl");
    std::size_t lines = 0, pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        ASSERT_NE(nl, std::string::npos);
        std::string_view line(text.data() + pos, nl - pos);
        ASSERT_EQ(line.size(), 70000u);
        ASSERT_EQ(line.find_first_not_of(line[0]), std::string_view::npos);
        pos = nl + 1;
        ++lines;
    }
    EXPECT_EQ(lines, 200u);
}

TEST_F(RunLogFile, ALineCutShortByAKilledWriterSpoilsOnlyItself) {
    for (const char *before : {"", "{\"whole\":1}\n", "{\"whole\":1}\n{\"cut sho"}) {
        write("runs.jsonl", before);
        sc::append_line(path("runs.jsonl"), "{\"next\":2}\n");
        std::string text = read("runs.jsonl");
        EXPECT_EQ(text.substr(text.rfind('\n', text.size() - 2) + 1), "{\"next\":2}\n") << before;
        EXPECT_EQ(text.size(),
                  std::string(before).size() + 11 +
                      (text.size() > 0 && std::string(before).find("cut") != std::string::npos))
            << before;
    }
}
