#include "fetchkin/links.hpp"

#include <gtest/gtest.h>

using namespace plexaro::fetchkin;

TEST(Classify, RecognisesOnlyTheTwoServicesAtTheStart) {
    EXPECT_EQ(classify("https://zenodo.org/records/1/files/a.fa"), LinkKind::zenodo);
    EXPECT_EQ(classify("http://zenodo.org/x"), LinkKind::zenodo);
    EXPECT_EQ(classify("https://www.dropbox.com/s/k/a.txt?dl=0"), LinkKind::dropbox);
    EXPECT_EQ(classify("https://dropbox.com/s/k/a.txt"), LinkKind::dropbox);
    EXPECT_EQ(classify("https://zenodo.org/"), LinkKind::none);     // nothing after the slash
    EXPECT_EQ(classify("https://zenodo.org/\nx"), LinkKind::none);  // '.' never matches a newline
    EXPECT_EQ(classify("https://ZENODO.org/x"), LinkKind::none);    // case-sensitive
    EXPECT_EQ(classify("https://zenodoXorg/x"), LinkKind::none);    // dots are literal
    EXPECT_EQ(classify(" https://zenodo.org/x"), LinkKind::none);
    EXPECT_EQ(classify("ftp://zenodo.org/x"), LinkKind::none);
    EXPECT_EQ(classify("https://example.org/x"), LinkKind::none);
    EXPECT_EQ(classify("https://www.zenodo.org/x"), LinkKind::none);  // www only for Dropbox
    EXPECT_EQ(classify("/data/reads.fq"), LinkKind::none);
}

TEST(DropboxDirect, ReplacesDl0WithDl1) {
    EXPECT_EQ(dropbox_direct("https://www.dropbox.com/s/k/a.txt?dl=0"),
              "https://www.dropbox.com/s/k/a.txt?dl=1");
    EXPECT_EQ(dropbox_direct("https://www.dropbox.com/s/k/a.txt?rlkey=x&dl=0"),
              "https://www.dropbox.com/s/k/a.txt?rlkey=x&dl=1");
    EXPECT_EQ(dropbox_direct("https://www.dropbox.com/s/k/a.txt"),
              "https://www.dropbox.com/s/k/a.txt?dl=1");
    EXPECT_EQ(dropbox_direct("https://www.dropbox.com/s/k/a.txt?rlkey=x"),
              "https://www.dropbox.com/s/k/a.txt?rlkey=x&dl=1");
}

TEST(DropboxDirect, KeepsOtherParametersWhenDl0OpenedTheQuery) {
    EXPECT_EQ(dropbox_direct("https://www.dropbox.com/s/k/a.txt?dl=0&rlkey=x"),
              "https://www.dropbox.com/s/k/a.txt?rlkey=x&dl=1");
    EXPECT_EQ(dropbox_direct("https://www.dropbox.com/s/k/a.txt?dl=0&dl=0&rlkey=x&st=y"),
              "https://www.dropbox.com/s/k/a.txt?rlkey=x&st=y&dl=1");
}

TEST(LastPathSegment, FollowsTheHostsUrlSplit) {
    EXPECT_EQ(last_path_segment("https://zenodo.org/records/1/files/a.fa?download=1"), "a.fa");
    EXPECT_EQ(last_path_segment("https://zenodo.org/records/1/"), "");
    EXPECT_EQ(last_path_segment("https://zenodo.org"), "");
    EXPECT_EQ(last_path_segment("https://zenodo.org/a%20b.txt#frag"), "a%20b.txt");
    EXPECT_EQ(last_path_segment("https://zenodo.org/dir/file.txt;v=2"), "file.txt");
}

TEST(DownloadName, StaysInsideTheDownloadDirectory) {
    EXPECT_EQ(download_name("https://zenodo.org/records/1/", "reads"), "download_reads");
    EXPECT_EQ(download_name("https://zenodo.org/a/..", "reads"), "download_reads");
    EXPECT_EQ(download_name("https://zenodo.org/a/.", "reads"), "download_reads");
    EXPECT_EQ(download_name("https://zenodo.org/a/", "../../etc"), "download_.._.._etc");
    EXPECT_EQ(download_name("https://zenodo.org/a/%2E%2E", "k"), "%2E%2E");
    EXPECT_EQ(download_name("https://zenodo.org/a/b.txt", "k"), "b.txt");
}
