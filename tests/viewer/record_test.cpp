// The record of a viewer's command line, which the stand-in viewers write and the launcher's tests
// read: the reader gives back exactly what was written, and nothing else.
#include <gtest/gtest.h>

#include "viewer/arguments.h"

namespace {

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
