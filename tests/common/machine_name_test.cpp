// The machine-name rule every program applies, row by row, and the names a certificate can
// carry, checked against talpki's own check of them.
#include "common/machine_name.h"

#include <gtest/gtest.h>

#include <string>

#ifdef TALPKI_PATH
#include "common/test_pki.h"
#endif

namespace {

using names::NameFault;

struct Row {
    std::string name;
    std::optional<NameFault> fault;  // nothing: a machine name
    std::size_t offset = 0;
};

const Row kRows[] = {
    {"pc-1", {}},
    {"Reception 2 \"east\"", {}},
    {std::string(195, 'x'), {}},
    {std::string(196, 'x'), NameFault::kTooLong, 195},
    {"", NameFault::kEmpty},
    {"a|b", NameFault::kSeparator, 1},
    {"pc\nregister evil", NameFault::kControlByte, 2},
    {std::string("pc\0x", 4), NameFault::kControlByte, 2},
    {"\tpc", NameFault::kControlByte, 0},
    {"a\x7f", NameFault::kControlByte, 1},
    {" pc", NameFault::kBlankAtEnd, 0},
    {"pc ", NameFault::kBlankAtEnd, 2},
    // UTF-8: Hangul passes; invisible and direction-turning characters do not, nor Unicode
    // spaces at the ends.
    {"\xED\x95\x9C\xEA\xB5\xAD", {}},
    {"pc\xE2\x80\x8B", NameFault::kInvisible, 2},        // U+200B
    {"\xE2\x80\xAEpc", NameFault::kInvisible, 0},        // U+202E
    {"p\uFEFFc", NameFault::kInvisible, 1},              // though CP949-shaped
    {"\xED\x95\x9C\xC2\xAD", NameFault::kInvisible, 3},  // U+00AD in a name that is not CP949
    {"\xC2\xAD\xED\x95\x9C\xED\x95\x9C", NameFault::kInvisible, 0},
    {"\xED\x95\x9C\xD8\x9C", NameFault::kInvisible, 3},  // U+061C
    {"pc\xE3\x80\x80", NameFault::kBlankAtEnd, 2},       // U+3000
    {"\xE2\x80\x83pc", NameFault::kBlankAtEnd, 0},       // U+2003
    {"p\u3000c", {}},                                    // a space inside is a space
    // CP949 bytes pass, also where they read as UTF-8 holding U+00AD or U+00A0.
    {"\xC7\xD1\xB1\xB9", {}},
    {"pc-\xC2\xAD", {}},
    {"pc\xC2\xA0", {}},
    {"\xB0\xA1\xE2\x81\xA6\xA9", {}},  // holds the bytes of U+2066, but is not UTF-8
    {"\xFF\xFEpc", {}},                // neither: bytes all the same
};

TEST(MachineName, EveryRowGetsItsVerdict) {
    for (const Row& row : kRows) {
        SCOPED_TRACE(testing::PrintToString(row.name));
        const auto problem = names::FindNameProblem(row.name);
        ASSERT_EQ(problem.has_value(), row.fault.has_value());
        EXPECT_EQ(names::WhyNotAMachineName(row.name).has_value(), row.fault.has_value());
        if (problem) {
            EXPECT_EQ(problem->fault, *row.fault);
            EXPECT_EQ(problem->offset, row.offset);
        }
    }
}

// Certificate names: machine names that fit a DNS entry, compared byte for byte.
const std::string kLabel(63, 'l');
const std::vector<std::string> kCertNames[2] = {
    // not certificate names
    {std::string(64, 'a'), "", "pc 1", "pc|1", "pc;reboot", "pc/../../x", "pc_1", "*.example",
     "-pc", "pc-", "a.-b", "a..b", ".pc", "pc.", "10.0.0.1", "123", "\xC7\xD1\xB1\xB9",
     kLabel + "." + kLabel + "." + kLabel + ".abcd"},
    // certificate names
    {"pc-1", "Reception-01.example", std::string(63, 'a') + "." + std::string(63, 'b'), "a1.2",
     kLabel + "." + kLabel + "." + kLabel + ".abc"},  // 195 bytes
};

TEST(CertificateName, EveryRowGetsItsVerdictHereAndInTalpki) {
    for (const bool ok : {false, true}) {
        for (const std::string& name : kCertNames[ok]) {
            SCOPED_TRACE(testing::PrintToString(name));
            EXPECT_EQ(!names::WhyNotACertificateName(name), ok);
#ifdef TALPKI_PATH
            EXPECT_EQ(test_pki::TalpkiTakes("agent", name), ok);
#endif
        }
    }
}

TEST(CertificateName, IsForTheMachineOfExactlyThatName) {
    const std::vector<std::string> sans = {"other", "pc-a"};
    EXPECT_TRUE(names::CertificateIsFor(sans, "pc-a"));
    EXPECT_FALSE(names::CertificateIsFor(sans, "PC-A"));
    EXPECT_FALSE(names::CertificateIsFor(sans, "pc-a.example"));
    EXPECT_FALSE(names::CertificateIsFor({"*.example"}, "pc.example"));
    EXPECT_FALSE(names::CertificateIsFor({"*.example"}, "*.example"));
    EXPECT_FALSE(names::CertificateIsFor({}, "pc-a"));
}

}  // namespace
