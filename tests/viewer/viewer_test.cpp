// talviewer-standin run headless: what it records is what the launcher's command line carried; and
// the record's reader, which the other tests use, gives back exactly what was written.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>
#include <cstdlib>
#include <filesystem>

#include "viewer/arguments.h"

namespace {

// Runs talviewer-standin with `args` (single-quoted for the shell), recording to `record`; its exit
// code.
int RunViewer(const std::vector<std::string>& args, const std::string& record) {
    std::string command = "QT_QPA_PLATFORM=offscreen TALVIEWER_EXIT=1 TALVIEWER_RECORD=" + record +
                          " " TALVIEWER_PATH;
    for (const auto& arg : args)
        command += " '" + arg + "'";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Talviewer, AppendsItsArgumentsByteForByte) {
    const auto record =
        std::filesystem::temp_directory_path() / ("talviewer-record-" + std::to_string(getpid()));
    std::filesystem::remove(record);
    // A host name with a blank and UTF-8 bytes; then EUC-KR bytes, names Qt would take for its
    // own options, an empty one and bytes the record line has to escape.
    EXPECT_EQ(RunViewer({"TALVERO-VNC", "127.0.0.1", "47010", "front desk \xED\x95\x9C"}, record),
              0);
    EXPECT_EQ(
        RunViewer({"TALVERO-VNC", "\xC7\xD1\xB1\xB9", "-platform", "xcb", "", "a\"b\\c\n\x7f"},
                  record),
        0);
    EXPECT_EQ(talviewer::ReadRecords(record.string()),
              (std::vector<talviewer::Argv>{
                  {TALVIEWER_PATH, "TALVERO-VNC", "127.0.0.1", "47010", "front desk \xED\x95\x9C"},
                  {TALVIEWER_PATH, "TALVERO-VNC", "\xC7\xD1\xB1\xB9", "-platform", "xcb", "",
                   "a\"b\\c\n\x7f"}}));
    std::filesystem::remove(record);
    EXPECT_EQ(RunViewer({"TALVERO-VNC"}, "/nonexistent-dir/record"), 1);  // a lost record fails
}

TEST(TalviewerRecord, ReadsBackWhatWasWrittenAndNothingElse) {
    const talviewer::Argv samples[] = {
        {},
        {""},
        {"talviewer", "TALVERO-VNC", "", "a\"b\\c,d\"]", "\x01\n\x1F\x7F\xC7\xD1 \\u0041"},
    };
    for (const auto& argv : samples) {
        std::string line = talviewer::RecordLine(argv);
        ASSERT_EQ(line.back(), '\n');
        line.pop_back();
        EXPECT_EQ(talviewer::ParseRecordLine(line), argv) << line;
    }
    // Cut short, or not written by RecordLine.
    for (const char* line : {"", "[", "[\"a\"", "[\"a\",]", "[\"a\"\"b\"]", "[a]", "[\"\\x\"]",
                             "[\"\\u00G1\"]", "[\"\\u0\"]", "[\"a\"] "})
        EXPECT_EQ(talviewer::ParseRecordLine(line), std::nullopt) << line;
}

}  // namespace
