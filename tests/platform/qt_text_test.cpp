// Text at the edge of the Qt backend: bytes of a code page become what the
// user reads, and nothing is dropped on the way.
#include <gtest/gtest.h>

#include <QString>
#include <string>
#include <utility>

#include "launcher/settings/settings.h"
#include "platform/posix_qt/text.h"
#include "support/code_page_scope.h"

namespace {

using platform::qt::ToDisplay;

TEST(QtText, TheFixedKoreanMessageReadsRightWhateverTheLocale) {
    const QString expected = QString::fromUtf8(
        "\xec\x84\xb8\xed\x8c\x85\xed\x8c\x8c\xec\x9d\xbc\xec\x9d\xb4 "
        "\xec\xa1\xb4\xec\x9e\xac\xed\x95\x98\xec\xa7\x80 "
        "\xec\x95\x8a\xec\x8a\xb5\xeb\x8b\x88\xeb\x8b\xa4. "
        "\xec\x9e\xac\xec\x84\xa4\xec\xb9\x98\xed\x95\xb4\xec\xa3\xbc\xec\x8b\xad\xec\x8b\x9c\xec"
        "\x98\xa4");
    for (unsigned int active : {65001u, 1252u, 949u}) {
        CodePageScope scope(active);
        EXPECT_EQ(ToDisplay(kSettingsMissingMessage, kSettingsMessageCodePage), expected) << active;
    }
}

TEST(QtText, BytesThatDoNotDecodeAreShownOneMarkEach) {
    CodePageScope scope(65001);
    // A lone continuation byte, a cut-off sequence at the end, and a byte
    // that is never UTF-8: each becomes one replacement mark, the rest stays.
    const QString shown =
        ToDisplay(std::string("a\x80"
                              "b\xff"
                              "c\xe2\x82",
                              7));
    EXPECT_EQ(shown, QString::fromUtf8("a\xef\xbf\xbd"
                                       "b\xef\xbf\xbd"
                                       "c\xef\xbf\xbd\xef\xbf\xbd"));
}

TEST(QtText, TextComesBackInTheCodePageItWasShownFrom) {
    using platform::qt::FromDisplay;
    const std::pair<unsigned int, std::string> texts[] = {
        {949, "\xbc\xad\xbf\xef A|B"},
        {932, "\x95\x5c\x8e\xa6"},  // a trail byte equal to a backslash
        {1252, "Caf\xe9 \x80"},
        {65001, "\xf0\x9f\x98\x80 \xc3\xa9"},
    };
    for (const auto& [codePage, bytes] : texts) {
        CodePageScope scope(codePage);
        EXPECT_EQ(FromDisplay(ToDisplay(bytes)), bytes) << codePage;
    }
    // What the code page cannot hold becomes one '?' per character, as
    // Windows' ANSI calls give it; a character outside the BMP included.
    CodePageScope scope(1252);
    EXPECT_EQ(FromDisplay(QString::fromUtf8("a\xec\x84\x9c\xf0\x9f\x98\x80"
                                            "b")),
              "a??b");
}

}  // namespace
