// The main of the in-process GUI tests: a QApplication on the offscreen
// platform unless the environment names another, then GoogleTest.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Listing the tests (CTest's discovery at build time) needs no toolkit.
    bool listing = false;
    for (int i = 1; i < argc; ++i)
        listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
    std::unique_ptr<QApplication> application;
    if (!listing)
        application = std::make_unique<QApplication>(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
