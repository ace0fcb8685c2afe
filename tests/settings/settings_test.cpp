// The settings file: how the walk reads a document, and how the file is
// opened and read.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "launcher/settings/settings.h"
#include "platform/files.h"

namespace {

// The walk takes the values it meets: a later element replaces an earlier one; it enters
// only "xml" elements and never comes back out of one.
TEST(SettingsWalk, TakesTheValuesTheWalkMeets) {
    const char* const cases[][4] = {
        // text, ip, port, title
        {R"(<?xml version="1.0"?><xml><connect ip="10.0.0.1" port="7000"/><title>Desk</title></xml>)",
         "10.0.0.1", "7000", "Desk"},
        {"<xml><title>one</title><title>two</title></xml>", "", "", "two"},
        {R"(<xml><connect ip="a" port="1"/><connect ip="b"/></xml>)", "b", "", ""},
        {R"(<XML><connect ip="h" port="1"/><title>T</title></XML>)", "", "", ""},
        {R"(<connect ip="h" port="9"/>)", "h", "9", ""},
        {R"(<cfg><connect ip="h"/></cfg>)", "", "", ""},
        {R"(<xml><group><connect ip="h" port="1"/></group></xml>)", "", "", ""},
        {R"(<xml><xml><connect ip="in"/></xml><title>after</title></xml>)", "in", "", ""},
        {R"(<xml><connect ip="h" port="1"/><title>T</title>)", "", "", ""},  // malformed
        // No byte-order mark is removed: the scan finds the root after it all the same.
        {"\xEF\xBB\xBF<xml><title>T</title></xml>", "", "", "T"},
        {R"(<xml><connect ip="a&amp;b" port="1"/><title><![CDATA[<T>]]></title></xml>)", "a&b", "1",
         "<T>"},
    };
    for (const auto& [text, ip, port, title] : cases) {
        const Settings s = ParseSettings(text);
        EXPECT_EQ(s.serverIp, ip) << text;
        EXPECT_EQ(s.serverPort, port) << text;
        EXPECT_EQ(s.title, title) << text;
    }
}

class SettingsFile : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/settings-test-XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/set.xml";
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }
    std::string Read(const std::string& bytes, std::uintmax_t size = 0) {
        std::ofstream(path_, std::ios::binary) << bytes;
        if (size != 0)
            std::filesystem::resize_file(path_, size);
        CFile file;
        EXPECT_TRUE(file.OpenExclusive(path_));
        return ReadSettingsText(file);
    }

    std::string dir_;
    std::string path_;
};

TEST_F(SettingsFile, TextEndsAtTheFirstZeroByteAndATooLargeFileIsAFailedRead) {
    EXPECT_EQ(Read(std::string("<title>T</title>\0<junk>", 23)), "<title>T</title>");
    EXPECT_EQ(Read(""), "");
    EXPECT_EQ(Read("<title>T</title>", kMaxSettingsBytes + 1), "");
}

TEST_F(SettingsFile, RefusesWhatWindowsWouldRefuse) {
    CFile file;
    EXPECT_FALSE(file.OpenExclusive(path_)) << "missing file";
    std::ofstream(path_) << "<xml/>";
    chmod(path_.c_str(), 0444);
    EXPECT_FALSE(file.OpenExclusive(path_)) << "read-only file";
    chmod(path_.c_str(), 0644);
    EXPECT_FALSE(file.OpenExclusive(dir_)) << "a directory";
    const std::string fifo = dir_ + "/fifo.xml";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    EXPECT_FALSE(file.OpenExclusive(fifo)) << "a FIFO must neither hang nor open";

    // Held through another open of the file (any process, this one included, as with a
    // Windows share mode): refused until it is let go.
    const int holder = open(path_.c_str(), O_RDWR);
    ASSERT_EQ(flock(holder, LOCK_EX), 0);
    EXPECT_FALSE(file.OpenExclusive(path_)) << "locked elsewhere";
    close(holder);
    EXPECT_TRUE(file.OpenExclusive(path_));
}

}  // namespace
