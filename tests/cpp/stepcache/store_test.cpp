#include "stepcache/entry.hpp"
#include "stepcache/files.hpp"
#include "stepcache/store.hpp"
#include "scratch.hpp"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace sc = plexaro::stepcache;
namespace sb = plexaro::sandbox;
using stepcache_test::Scratch;

namespace {

const std::string kKey = "0123456789abcdef0123456789abcdef";

sc::EntryRecord sample_record() {
    sc::EntryRecord r;
    r.tool = "samtools";
    r.words = {"samtools", "sort", "-o", "sorted", "a b.bam"};
    r.started = "2026-12-08T10:00:00.000000Z";
    r.ended = "2026-12-08T10:00:02.500000Z";
    r.seconds = 2.5;
    r.dirs = {"_extras", "_extras/logs"};
    r.files = {{"sorted"}, {"_extras/logs/run\tlog%.txt"}};
    r.slots = {{"sorted", {"sorted"}}, {"report", {}}};
    return r;
}

class StoreTest : public Scratch {
protected:
    void SetUp() override {
        Scratch::SetUp();
        write("out/sorted", std::string(400000, 'S'));
        write("out/_extras/logs/run\tlog%.txt", "log");
        ASSERT_EQ(::chmod(path("out/sorted").c_str(), 0640), 0);
    }
    // The entry's stored file for `rel`.
    std::string stored(const std::string &rel) const {
        return path("cache/entries/" + kKey.substr(0, 2) + "/" + kKey + "/files/" + rel);
    }
};

}  // namespace

TEST(EntryRecord, RoundTripAndDamage) {
    sc::EntryRecord r = sample_record();
    r.files[0].size = 7;
    r.files[0].inode = 99;
    r.files[0].mtime_ns = -5;
    r.stdout_file = "stdout/samtools_stdout.txt";
    std::string text = sc::format_record(r);
    auto back = sc::parse_record(text);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->words, r.words);
    EXPECT_EQ(back->files[1].rel, "_extras/logs/run\tlog%.txt");
    EXPECT_EQ(back->files[0].mtime_ns, -5);
    EXPECT_EQ(back->slots.size(), 2u);
    EXPECT_EQ(back->slots[1].delivered.size(), 0u);
    EXPECT_EQ(back->stdout_file, r.stdout_file);
    EXPECT_DOUBLE_EQ(back->seconds, 2.5);

    // Cut anywhere before its end, a record is not taken.
    for (std::size_t cut = 0; cut < text.size(); cut += 7)
        EXPECT_FALSE(sc::parse_record(text.substr(0, cut)));
    // Nor with a path that leaves the output directory.
    for (const char *bad : {"../x", "/etc/passwd", "a//b", "a/./b", ""}) {
        sc::EntryRecord evil = r;
        evil.files[0].rel = bad;
        EXPECT_FALSE(sc::parse_record(sc::format_record(evil))) << bad;
    }
}

TEST_F(StoreTest, StoreFindPlaceReproducesTheTree) {
    sc::StepCache cache(path("cache"));
    EXPECT_FALSE(cache.find(kKey));
    EXPECT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);
    auto hit = cache.find(kKey);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->record.words, sample_record().words);
    EXPECT_EQ(hit->record.total_size(), 400003u);

    ASSERT_TRUE(cache.place(*hit, path("again")));
    EXPECT_EQ(read("again/sorted"), read("out/sorted"));
    EXPECT_EQ(read("again/_extras/logs/run\tlog%.txt"), "log");
    struct stat a, b;
    ASSERT_EQ(::stat(path("out/sorted").c_str(), &a), 0);
    ASSERT_EQ(::stat(path("again/sorted").c_str(), &b), 0);
    EXPECT_EQ(b.st_mode & 07777, 0640u);
    EXPECT_EQ(b.st_mtim.tv_sec, a.st_mtim.tv_sec);
    EXPECT_EQ(b.st_mtim.tv_nsec, a.st_mtim.tv_nsec);
    EXPECT_NE(b.st_ino, a.st_ino);

    // The delivered file is a copy: changing it leaves the entry intact.
    write("again/sorted", "changed by the host");
    EXPECT_TRUE(cache.find(kKey));
    EXPECT_EQ(read("out/sorted").size(), 400000u);
    EXPECT_EQ(cache.store(kKey, sample_record(), path("out")),
              sc::StepCache::Stored::already_present);
}

TEST_F(StoreTest, ChangedOrRemovedEntryFilesMakeItStaleAndAStoreReplacesIt) {
    sc::StepCache cache(path("cache"));
    ASSERT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);

    // Rewritten in place, same size, timestamp put back: still noticed.
    struct stat st;
    ASSERT_EQ(::stat(stored("sorted").c_str(), &st), 0);
    {
        int fd = ::open(stored("sorted").c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, "X", 1, 10), 1);
        ::close(fd);
    }
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, stored("sorted").c_str(), times, 0), 0);
    EXPECT_FALSE(cache.find(kKey));

    EXPECT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);
    ASSERT_TRUE(cache.find(kKey));
    EXPECT_EQ(read("cache/entries/" + kKey.substr(0, 2) + "/" + kKey + "/files/sorted"),
              read("out/sorted"));

    ASSERT_EQ(::unlink(stored("_extras/logs/run\tlog%.txt").c_str()), 0);
    EXPECT_FALSE(cache.find(kKey));
    ASSERT_EQ(::symlink(path("out/_extras/logs/run\tlog%.txt").c_str(),
                        stored("_extras/logs/run\tlog%.txt").c_str()),
              0);
    EXPECT_FALSE(cache.find(kKey));  // a link in an entry is never followed
}

TEST_F(StoreTest, AFileWhoseIdentityMovedIsTakenOnlyWithItsStoredContent) {
    sc::StepCache cache(path("cache"));
    ASSERT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);
    const std::string record = "cache/entries/" + kKey.substr(0, 2) + "/" + kKey + "/record";
    // Same content under a new identity (copied back, touched): taken.
    write("copy", read("out/sorted"));
    ASSERT_EQ(::rename(path("copy").c_str(), stored("sorted").c_str()), 0);
    EXPECT_TRUE(cache.find(kKey));
    // Other content of the same size, its modification time put back: not taken.
    struct stat st;
    ASSERT_EQ(::stat(stored("sorted").c_str(), &st), 0);
    write("swap", std::string(400000, 'E'));
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("swap").c_str(), times, 0), 0);
    ASSERT_EQ(::rename(path("swap").c_str(), stored("sorted").c_str()), 0);
    EXPECT_FALSE(cache.find(kKey));
}

TEST_F(StoreTest, ConcurrentStoresOfOneKeyAllSucceedAndOneEntryRemains) {
    std::vector<std::thread> writers;
    std::vector<int> outcomes(6, -1);
    for (int i = 0; i < 6; ++i)
        writers.emplace_back([&, i] {
            sc::StepCache cache(path("cache"));
            outcomes[i] = (int)cache.store(kKey, sample_record(), path("out"));
        });
    for (auto &t : writers) t.join();
    int stored = 0;
    for (int o : outcomes) {
        EXPECT_NE(o, (int)sc::StepCache::Stored::too_large);
        EXPECT_NE(o, -1);
        stored += o == (int)sc::StepCache::Stored::stored;
    }
    EXPECT_GE(stored, 1);
    sc::StepCache cache(path("cache"));
    EXPECT_TRUE(cache.find(kKey));
    EXPECT_EQ(sb::list_dir(path("cache/entries/" + kKey.substr(0, 2))).size(), 1u);
    EXPECT_TRUE(sb::list_dir(path("cache/incoming")).empty());
}

TEST_F(StoreTest, KilledStoreLeavesNothingAReaderTakesAndIsSweptLater) {
    // A store killed while copying: a child process stores a large output
    // and is killed as soon as its work directory appears.
    write("out/sorted", std::string(64 << 20, 'S'));
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        sc::StepCache cache(path("cache"));
        cache.store(kKey, sample_record(), path("out"));
        ::_exit(0);
    }
    while (!present("cache/incoming") || sb::list_dir(path("cache/incoming")).empty())
        ::usleep(200);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    sc::StepCache cache(path("cache"));
    if (WIFSIGNALED(status)) {
        EXPECT_FALSE(cache.find(kKey));
        EXPECT_EQ(sb::list_dir(path("cache/incoming")).size(), 1u);
    }
    // Young litter stays (it may be a live writer's); old, unlocked litter goes.
    cache.sweep_incoming();
    if (WIFSIGNALED(status)) {
        EXPECT_EQ(sb::list_dir(path("cache/incoming")).size(), 1u);
    }
    cache.sweep_incoming(0);
    EXPECT_TRUE(sb::list_dir(path("cache/incoming")).empty());
    EXPECT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);
    EXPECT_TRUE(cache.find(kKey));
}

TEST_F(StoreTest, SweepSparesAnEntryBeingWritten) {
    sb::make_dirs(path("cache/incoming/live"));
    write("cache/incoming/live/used", "");
    int fd = ::open(path("cache/incoming/live/used").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(sc::try_lock_file(fd));
    sc::StepCache(path("cache")).sweep_incoming(0);
    EXPECT_TRUE(present("cache/incoming/live/used"));
    ::close(fd);
    sc::StepCache(path("cache")).sweep_incoming(0);
    EXPECT_FALSE(present("cache/incoming/live"));
}

TEST_F(StoreTest, EvictionRemovesLeastRecentlyUsedFirst) {
    const std::string keys[] = {"aa000000000000000000000000000001",
                                "bb000000000000000000000000000002",
                                "cc000000000000000000000000000003"};
    sc::EntryRecord one;
    one.files = {{"sorted"}};
    one.slots = {{"sorted", {"sorted"}}};
    sc::StepCache unlimited(path("cache"));
    for (const auto &k : keys)
        ASSERT_EQ(unlimited.store(k, one, path("out")), sc::StepCache::Stored::stored);
    // Uses in the order 1, 0, 2: entry 1 is the least recently used.
    double t = 1000;
    for (int i : {1, 0, 2}) {
        struct timespec times[2] = {{(time_t)t, 0}, {(time_t)t, 0}};
        std::string used = path("cache/entries/" + keys[i].substr(0, 2) + "/" + keys[i] + "/used");
        ASSERT_EQ(::utimensat(AT_FDCWD, used.c_str(), times, 0), 0);
        t += 10;
    }
    EXPECT_EQ(unlimited.evict(), 0);  // no limit, nothing goes

    sc::StepCache limited(path("cache"), 2 * 400000);
    EXPECT_EQ(limited.evict(), 1);
    EXPECT_FALSE(limited.find(keys[1]));
    EXPECT_TRUE(limited.find(keys[0]));
    EXPECT_TRUE(limited.find(keys[2]));

    // A hit counts as a use: touching 0 makes 2 the oldest.
    limited.touch(*limited.find(keys[0]));
    sc::StepCache tight(path("cache"), 400000);
    EXPECT_EQ(tight.evict(), 1);
    EXPECT_TRUE(tight.find(keys[0]));
    EXPECT_FALSE(tight.find(keys[2]));

    // Input digests go with the entries: one unused for long is removed at
    // the next eviction, one in use stays.
    write("cache/hashes/ab/old", "digest");
    write("cache/hashes/ab/fresh", "digest");
    struct timespec long_ago[2] = {{100, 0}, {100, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, path("cache/hashes/ab/old").c_str(), long_ago, 0), 0);
    sc::StepCache tighter(path("cache"), 1);
    EXPECT_EQ(tighter.evict(), 1);
    EXPECT_FALSE(present("cache/hashes/ab/old"));
    EXPECT_TRUE(present("cache/hashes/ab/fresh"));

    // An output larger than the whole limit is not stored at all.
    sc::StepCache tiny(path("cache"), 1000);
    EXPECT_EQ(tiny.store(keys[1], one, path("out")), sc::StepCache::Stored::too_large);
}

TEST_F(StoreTest, PlaceReportsAnEntryEvictedHalfWay) {
    sc::StepCache cache(path("cache"));
    ASSERT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);
    auto hit = cache.find(kKey);
    ASSERT_TRUE(hit);
    ASSERT_EQ(::unlink(stored("_extras/logs/run\tlog%.txt").c_str()), 0);
    EXPECT_FALSE(cache.place(*hit, path("again")));
}

TEST_F(StoreTest, HardLinksShareTheFileAndAChangeThroughOneIsNoticed) {
    sc::StepCache cache(path("cache"), std::nullopt, true);
    ASSERT_EQ(cache.store(kKey, sample_record(), path("out")), sc::StepCache::Stored::stored);
    write("again/sorted", "an older file in the way");
    auto hit = cache.find(kKey);
    ASSERT_TRUE(hit);
    ASSERT_TRUE(cache.place(*hit, path("again")));
    struct stat out, again, stored_st;
    ASSERT_EQ(::stat(path("out/sorted").c_str(), &out), 0);
    ASSERT_EQ(::stat(path("again/sorted").c_str(), &again), 0);
    ASSERT_EQ(::stat(stored("sorted").c_str(), &stored_st), 0);
    EXPECT_EQ(again.st_ino, stored_st.st_ino);
    EXPECT_EQ(out.st_ino, stored_st.st_ino);  // stored without a copy too
    EXPECT_EQ(again.st_mode & 07777, 0640u);
    EXPECT_TRUE(cache.find(kKey));  // links made do not make it stale

    // A copy-mode reader sees the change time moved, checks the content and
    // takes the entry: it delivers copies.
    EXPECT_TRUE(sc::StepCache(path("cache")).find(kKey));

    write("again/sorted", "changed in place");
    EXPECT_FALSE(cache.find(kKey));
}
