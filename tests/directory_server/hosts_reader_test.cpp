// The hosts-file worker: results arrive through its descriptor, one per request, and the file's
// changes come through as they do when read on the loop itself.
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "directory_server/hosts_reader.h"

namespace {

using dirsrv::HostsReader;

class HostsReaderTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directories(dir_); }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Replaces the file as an administrator should: a new file renamed over the old.
    void Write(const std::string& text) {
        std::ofstream(dir_ + "/new") << text;
        std::filesystem::rename(dir_ + "/new", Path());
    }
    std::string Path() const { return dir_ + "/hosts"; }

    static bool Ready(const HostsReader& reader, int timeout_ms) {
        pollfd p{reader.fd(), POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) == 1;
    }

    const std::string dir_ = testing::TempDir() + "hosts-reader-" + std::to_string(getpid());
};

TEST_F(HostsReaderTest, EachRequestGivesOneResultThroughTheDescriptor) {
    Write("beta\nalpha\n");
    HostsReader reader(Path());
    ASSERT_GE(reader.fd(), 0);
    auto first = reader.ReadNow();
    ASSERT_TRUE(first.content);
    EXPECT_EQ(first.content->names, (std::vector<std::string>{"alpha", "beta"}));
    EXPECT_FALSE(Ready(reader, 0)) << "a read on the calling thread signals nothing";

    Write("gamma\nalpha\ngamma\n");
    reader.Request();
    reader.Request();  // while the first is under way or untaken: no second result
    ASSERT_TRUE(Ready(reader, 10000));
    auto changed = reader.Take();
    ASSERT_TRUE(changed && changed->content);
    EXPECT_EQ(changed->content->names, (std::vector<std::string>{"alpha", "gamma"}));
    EXPECT_EQ(changed->content->duplicates, 1u);
    EXPECT_FALSE(Ready(reader, 200));
    EXPECT_FALSE(reader.Take());

    // Unchanged: a result without content. Gone: the reason, once.
    reader.Request();
    ASSERT_TRUE(Ready(reader, 10000));
    auto same = reader.Take();
    ASSERT_TRUE(same);
    EXPECT_FALSE(same->content);
    EXPECT_TRUE(same->error.empty());
    std::filesystem::remove(Path());
    for (const bool first_time : {true, false}) {
        reader.Request();
        ASSERT_TRUE(Ready(reader, 10000));
        auto gone = reader.Take();
        ASSERT_TRUE(gone);
        EXPECT_FALSE(gone->content);
        EXPECT_EQ(gone->error.empty(), !first_time) << gone->error;
    }
}

TEST_F(HostsReaderTest, StopsWithARequestPending) {
    // A file that takes the worker a while, so the reader is destroyed mid-read or with the
    // result untaken: the destructor must stop the worker, not wait for another request.
    std::string hosts;
    for (int i = 0; i < 100000; ++i)
        hosts += "pc-" + std::to_string(i) + "\n";
    Write(hosts);
    for (const bool taken_first : {false, true}) {
        auto reader = std::make_unique<HostsReader>(Path());
        reader->Request();
        if (taken_first) {
            ASSERT_TRUE(Ready(*reader, 10000));
            ASSERT_TRUE(reader->Take());
            reader->Request();
        }
        // On a thread of its own, so that a reader that never stops fails the test, not hangs it.
        auto stopped = std::make_shared<std::promise<void>>();
        auto done = stopped->get_future();
        std::thread([stopped, r = reader.release()] {
            delete r;
            stopped->set_value();
        }).detach();
        ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
            << "the reader did not stop (taken first: " << taken_first << ")";
    }
}

}  // namespace
