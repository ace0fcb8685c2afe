// The hosts-file worker: one result per request through its descriptor, as a read on the loop.
#include <future>

#include "directory_server/hosts_reader.h"
#include "fixture.h"

namespace {

using dirsrv::HostsReader;
using namespace dirsrv_test;

class HostsReaderTest : public ::testing::Test {
protected:
    void SetUp() override { fs::create_directories(dir_); }
    void TearDown() override { fs::remove_all(dir_); }

    void Write(const std::string& text) { WriteFile(Path(), text); }
    std::string Path() const { return dir_ + "/hosts"; }

    static bool Ready(const HostsReader& reader, int timeout_ms) {
        pollfd p{reader.fd(), POLLIN, 0};
        return ::poll(&p, 1, timeout_ms) == 1;
    }
    // A request's result, once the descriptor says it is there.
    static auto Next(HostsReader& reader) {
        reader.Request();
        EXPECT_TRUE(Ready(reader, 10000));
        return reader.Take();
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
    auto changed = Next(reader);  // asked again while under way: still one result
    ASSERT_TRUE(changed && changed->content);
    EXPECT_EQ(changed->content->names, (std::vector<std::string>{"alpha", "gamma"}));
    EXPECT_EQ(changed->content->duplicates, 1u);
    EXPECT_FALSE(Ready(reader, 200));
    EXPECT_FALSE(reader.Take());

    // Unchanged: a result without content. Gone: the reason, once.
    for (const int step : {0, 1, 2}) {
        if (step == 1)
            fs::remove(Path());
        auto result = Next(reader);
        ASSERT_TRUE(result) << step;
        EXPECT_FALSE(result->content) << step;
        EXPECT_EQ(result->error.empty(), step != 1) << result->error;
    }
}

TEST_F(HostsReaderTest, StopsWithARequestPending) {
    // A file that takes a while: destroyed mid-read or with the result untaken, the reader stops.
    std::string hosts;
    for (int i = 0; i < 100000; ++i)
        hosts += "pc-" + std::to_string(i) + "\n";
    Write(hosts);
    for (const bool taken_first : {false, true}) {
        auto reader = std::make_unique<HostsReader>(Path());
        ASSERT_TRUE(!taken_first || Next(*reader));
        reader->Request();
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
