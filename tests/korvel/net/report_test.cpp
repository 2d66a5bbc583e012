#include "korvel/net/report.h"

#include <sys/stat.h>

#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "korvel/app/globals.h"
#include "tests/support/nginx_server.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace testing_support;

PatchRecord Record(const std::string& url, const std::string& size) {
    PatchRecord r;
    r.url = url;
    r.size = size;
    r.method = "http";
    return r;
}

TEST(ReportQuery, FieldsInTheirFixedForm) {
    struct Case {
        const char* name;
        PatchRecord record;
        std::string method;
        bool failed;
        std::time_t start, end;
        std::string dns, expected;
    } cases[] = {
        {"same second", Record("http://h/p/a103.dat", "2000"), "http", false, 1700000000,
         1700000000, "",
         "proj=vq2&avg=2.000&start=1700000000&end=1700000000&clip=&err=0&file=a103.dat&dtype=http"},
        {"failed with dns", Record("http://h/p/a.dat", "3000"), "http", true, 100, 103,
         "10.0.0.1|10.0.0.2",
         "proj=vq2&avg=1.000&start=100&end=103&clip=&err=0&file=a.dat&dtype=http&dns=10.0.0.1|"
         "10.0.0.2"},
        {"success never carries dns", Record("h/p/b.dat", "1000"), "bt", false, 10, 12, "10.0.0.1",
         "proj=vq2&avg=0.500&start=10&end=12&clip=&err=0&file=b.dat&dtype=bt"},
        {"failed without known servers", Record("h/b.dat", "1000"), "bt", true, 10, 11, "",
         "proj=vq2&avg=1.000&start=10&end=11&clip=&err=0&file=b.dat&dtype=bt"},
        {"size not a number", Record("h/c.dat", "abc"), "other", false, 1, 2, "",
         "proj=vq2&avg=0.000&start=1&end=2&clip=&err=0&file=c.dat&dtype=http"},
        {"hexadecimal size", Record("h/c.dat", "0x7D0"), "http", false, 1, 2, "",
         "proj=vq2&avg=0.000&start=1&end=2&clip=&err=0&file=c.dat&dtype=http"},
        {"exponent is not read", Record("h/c.dat", "1e6"), "http", false, 1, 2, "",
         "proj=vq2&avg=0.001&start=1&end=2&clip=&err=0&file=c.dat&dtype=http"},
        {"inf", Record("h/c.dat", "inf"), "http", false, 1, 2, "",
         "proj=vq2&avg=0.000&start=1&end=2&clip=&err=0&file=c.dat&dtype=http"},
        {"nan", Record("h/c.dat", "nan"), "http", false, 1, 2, "",
         "proj=vq2&avg=0.000&start=1&end=2&clip=&err=0&file=c.dat&dtype=http"},
        {"fraction", Record("h/c.dat", "1500.5"), "http", false, 1, 2, "",
         "proj=vq2&avg=1.500&start=1&end=2&clip=&err=0&file=c.dat&dtype=http"},
        {"no slash in the address", Record("c.dat", "1000"), "http", false, 1, 2, "",
         "proj=vq2&avg=1.000&start=1&end=2&clip=&err=0&file=&dtype=http"},
        {"times wrap to 32 bits", Record("h/d.dat", "0"), "http", false, 4294967296 + 5,
         4294967296 + 6, "", "proj=vq2&avg=0.000&start=5&end=6&clip=&err=0&file=d.dat&dtype=http"},
        {"clock went back", Record("h/e.dat", "5000"), "http", false, 20, 10, "",
         "proj=vq2&avg=5.000&start=20&end=10&clip=&err=0&file=e.dat&dtype=http"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BuildReportQuery(c.record, c.method, c.failed, c.start, c.end, c.dns), c.expected)
            << c.name;
}

TEST(ReportQuery, SameFileNameKeepsOnlyTheLaterReport) {
    ReportQueries.clear();
    RecordDownloadReport(Record("http://h/one/x.dat", "1000"), "http", false, 1, 2, "");
    RecordDownloadReport(Record("http://h/two/x.dat", "2000"), "bt", false, 1, 2, "");
    RecordDownloadReport(Record("http://h/a.dat", "1000"), "http", false, 1, 2, "");
    ASSERT_EQ(ReportQueries.size(), 2u);
    EXPECT_EQ(ReportQueries.begin()->first, "a.dat");  // byte order of the names
    EXPECT_NE(ReportQueries["x.dat"].find("avg=2.000"), std::string::npos);
    ReportQueries.clear();
}

TEST(DnsServers, DistinctSortedAndJoined) {
    struct Case {
        std::string conf, expected;
    } cases[] = {
        {"nameserver 10.0.0.2\nnameserver 10.0.0.1\n", "10.0.0.1|10.0.0.2"},
        {"# comment\nsearch example\nnameserver 10.0.0.1\nnameserver 10.0.0.1\n", "10.0.0.1"},
        {"nameserver\nnameserver   192.168.1.1   # router\n", "192.168.1.1"},
        {"options ndots:2\n", ""},
        {"nameserver ::1\nnameserver 127.0.0.53\n", "127.0.0.53|::1"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        EXPECT_EQ(LookupDnsServers(dir.Write("resolv.conf", c.conf)), c.expected) << c.conf;
    }
    TempDir dir;
    EXPECT_EQ(LookupDnsServers(dir.Sub("missing")), "");
}

class ReportSendingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        GameDir = game_.path() + "/";
        ReportQueries.clear();
    }
    void TearDown() override {
        ReportQueries.clear();
        GameDir.clear();
        ReportUrl.clear();
    }
    TempDir game_;
    TempDir site_;
};

TEST_F(ReportSendingTest, GameStartsFirstThenEveryQueryIsSentOnce) {
    NginxServer nginx(site_.path());
    ASSERT_TRUE(nginx.started());
    ReportUrl = nginx.Url("/patch_download");
    RecordDownloadReport(Record("http://h/p/b.dat", "2000"), "bt", false, 5, 6, "");
    RecordDownloadReport(Record("http://h/p/a.dat", "1000"), "http", true, 5, 6, "10.0.0.1");

    // The game stub notes its working folder; the statistics server is asked
    // only afterwards, so the note exists before the first request is logged.
    game_.Write("zorn.exe", "#!/bin/sh\npwd > started.txt\n");
    ::chmod(game_.Sub("zorn.exe").c_str(), 0755);
    StartGameAndReport();

    const auto log = nginx.AccessLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0],
              "\"GET /patch_download?proj=vq2&avg=1.000&start=5&end=6&clip=&err=0&file=a.dat"
              "&dtype=http&dns=10.0.0.1 HTTP/1.1\" \"-\" 200");
    EXPECT_EQ(log[1],
              "\"GET /patch_download?proj=vq2&avg=2.000&start=5&end=6&clip=&err=0&file=b.dat"
              "&dtype=bt HTTP/1.1\" \"-\" 200");
    for (int i = 0; i < 100 && !std::filesystem::exists(game_.Sub("started.txt")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(ReadFile(game_.Sub("started.txt")), game_.path() + "\n");
    EXPECT_EQ(ReportQueries.size(), 2u);  // the queue is not emptied
}

TEST_F(ReportSendingTest, MissingGameAndDeadServerAreIgnored) {
    ReportUrl = "http://127.0.0.1:1/patch_download";
    RecordDownloadReport(Record("http://h/p/a.dat", "1000"), "http", false, 5, 6, "");
    StartGameAndReport();  // must simply return
    EXPECT_FALSE(std::filesystem::exists(game_.Sub("started.txt")));
}

}  // namespace
