#include "executor/executor.hpp"
#include "executor/slurm.hpp"

#include <gtest/gtest.h>

namespace ex = plexaro::executor;
namespace slurm = plexaro::executor::slurm;

TEST(Requests, MemorySizesInMiB) {
    for (auto [text, mb] : std::vector<std::pair<const char *, std::uint64_t>>{{"8G", 8192},
                                                                               {"500M", 500},
                                                                               {"500m", 500},
                                                                               {"1024", 1024},
                                                                               {"2T", 2097152},
                                                                               {"1536K", 2},
                                                                               {"1K", 1}})
        EXPECT_EQ(ex::parse_memory_mb(text), mb) << text;
    for (const char *bad : {"", "0", "0G", "8GB", "-1G", "1.5G", "G", " 8G", "8X"})
        EXPECT_EQ(ex::parse_memory_mb(bad), std::nullopt) << bad;
    EXPECT_EQ(ex::memory_text(8192), "8G");
    EXPECT_EQ(ex::memory_text(60), "60M");
}

TEST(Requests, DurationsInSeconds) {
    for (auto [text, s] : std::vector<std::pair<const char *, std::uint64_t>>{{"90m", 5400},
                                                                              {"2h", 7200},
                                                                              {"45s", 45},
                                                                              {"1d", 86400},
                                                                              {"1-00:00:00", 86400},
                                                                              {"30", 1800},
                                                                              {"01:30", 90},
                                                                              {"1:00:00", 3600},
                                                                              {"2-12", 216000},
                                                                              {"0-00:05", 300}})
        EXPECT_EQ(ex::parse_time_seconds(text), s) << text;
    for (const char *bad : {"", "0", "0m", "90x", "1-25:00", "1:60", "1:2:3:4", "-5", "m", "1.5h"})
        EXPECT_EQ(ex::parse_time_seconds(bad), std::nullopt) << bad;
}

TEST(Slurm, SrunWordsCarryTheRequestsBeforeTheCommand) {
    ex::JobSpec job;
    job.name = "plexaro-t-1";
    job.workdir = "/shared/run-t";
    job.resources.cpus = 2;
    job.resources.memory_mb = 500;
    job.resources.time_seconds = 61;  // the scheduler counts whole minutes
    job.extra_args = {"--qos=x"};
    EXPECT_EQ(slurm::srun_words(job, {"mivo", "exec", "t"}),
              (std::vector<std::string>{"srun", "--quiet", "--job-name=plexaro-t-1",
                                        "--chdir=/shared/run-t", "--nodes=1", "--ntasks=1",
                                        "--cpus-per-task=2", "--mem=500M", "--time=2", "--qos=x",
                                        "mivo", "exec", "t"}));
}

TEST(Slurm, FinalRecordFromScontrol) {
    auto fields = slurm::parse_fields(
        "JobId=8 JobName=plexaro-x JobState=FAILED Reason=JobLaunchFailure ExitCode=0:9 "
        "Command=my tool NodeList=localhost WorkDir=/a b\n");
    EXPECT_EQ(fields["Command"], "my tool");
    EXPECT_EQ(fields["WorkDir"], "/a b");
    ex::JobOutcome o = slurm::outcome_from_fields(fields);
    EXPECT_EQ(o.id, "8");
    EXPECT_EQ(o.state, "FAILED");
    EXPECT_EQ(o.exit_code, 0);
    EXPECT_EQ(o.signal, 9);
    EXPECT_FALSE(o.succeeded());
    o.out_of_memory = true;
    ex::JobSpec job;
    job.name = "plexaro-x";
    job.resources.memory_mb = 60;
    EXPECT_EQ(ex::describe_outcome("Slurm", job, o),
              "Slurm job 8 (plexaro-x) on localhost: FAILED, exit code 0, signal 9, reason "
              "JobLaunchFailure: out of memory, killed over its memory request of 60M");
    EXPECT_TRUE(slurm::is_final_state("CANCELLED by 0"));
    EXPECT_FALSE(slurm::is_final_state("COMPLETING"));
    EXPECT_TRUE(slurm::client_says_out_of_memory(
        "slurmstepd-n1: error: StepId=8.0 exceeded memory limit (3 > 2), being killed"));
}

TEST(Slurm, AccountingGivesCpuTimeAndThePeakOfTheSteps) {
    ex::JobOutcome o;
    o.id = "12";
    slurm::add_accounting(o, "12|01:02.500|\n12.batch|00:01.000|2048K\n12.0|01:01.500|3M\n");
    EXPECT_DOUBLE_EQ(*o.cpu_seconds, 62.5);
    EXPECT_EQ(*o.peak_memory_bytes, 3u << 20);
    EXPECT_DOUBLE_EQ(*slurm::parse_cpu_time("1-01:00:00"), 90000);
    EXPECT_EQ(slurm::parse_rss("bad"), std::nullopt);
}
