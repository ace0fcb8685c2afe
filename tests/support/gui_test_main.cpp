// The main of the in-process GUI tests: a QApplication on the offscreen
// platform unless the environment names another, then GoogleTest.
#include <QApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <string_view>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Listing the tests (CTest's discovery at build time) needs no toolkit.
    std::optional<QApplication> application;
    if (std::none_of(argv, argv + argc,
                     [](const char* a) { return std::string_view(a) == "--gtest_list_tests"; }))
        application.emplace(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
