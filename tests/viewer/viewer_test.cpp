#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "arguments.h"

namespace {

TEST(RecordLine, EscapesOnlyWhatWouldBreakTheLine) {
    EXPECT_EQ(talviewer::RecordLine({}), "[]\n");
    EXPECT_EQ(talviewer::RecordLine({"TALVERO-VNC", "127.0.0.1", "47010", "pc 01"}),
              "[\"TALVERO-VNC\",\"127.0.0.1\",\"47010\",\"pc 01\"]\n");
    EXPECT_EQ(talviewer::RecordLine({"", "a\"b\\c", "line\nbreak\x7f", "\xC7\xD1\xED\x95\x9C"}),
              "[\"\",\"a\\\"b\\\\c\",\"line\\u000Abreak\\u007F\",\"\xC7\xD1\xED\x95\x9C\"]\n");
}

// Runs talviewer headless with `args`, recording into `record`; returns the wait status.
int RunViewer(const std::vector<std::string>& args, const std::string& record) {
    std::vector<std::string> strings = {TALVIEWER_PATH};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& s : strings)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment = {"QT_QPA_PLATFORM=offscreen", "TALVIEWER_EXIT=1",
                                            "TALVIEWER_RECORD=" + record, "LANG=C.UTF-8"};
    for (const char* keep : {"PATH", "HOME", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        if (const char* value = std::getenv(keep))
            environment.push_back(std::string(keep) + "=" + value);
    }
    std::vector<char*> envp;
    for (auto& e : environment)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), envp.data()) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    return status;
}

TEST(Talviewer, RecordsItsArgumentsByteForByte) {
    const auto record =
        std::filesystem::temp_directory_path() / ("talviewer-record-" + std::to_string(getpid()));
    std::filesystem::remove(record);
    const std::vector<std::string> launcher = {"TALVERO-VNC", "127.0.0.1", "47010",
                                               "front desk \xED\x95\x9C\xEA\xB5\xAD"};
    // What a name with spaces turns into, EUC-KR bytes, and names Qt would take for options.
    const std::vector<std::string> odd = {"TALVERO-VNC", "10.0.0.1",  "47010", "\xC7\xD1\xB1\xB9",
                                          "-reverse",    "-platform", "xcb",   ""};
    int status = RunViewer(launcher, record);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    status = RunViewer(odd, record);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    std::ifstream in(record, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), talviewer::RecordLine(launcher) + talviewer::RecordLine(odd));
    std::filesystem::remove(record);

    status = RunViewer(launcher, "/nonexistent-dir/record");
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

}  // namespace
