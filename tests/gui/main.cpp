// GUI tests run on a private Xvfb display that lives as long as this process.
#include <gtest/gtest.h>

#include <QApplication>
#include <optional>

#include "tests/support/xvfb.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::optional<glowtern::testing::PrivateXServer> server;
    std::optional<QApplication> application;
    if (!::testing::GTEST_FLAG(list_tests)) {  // listing the tests needs no display
        if (!server.emplace().running()) {
            std::fprintf(stderr, "Xvfb could not be started\n");
            return 1;
        }
        qputenv("QT_QPA_PLATFORM", "xcb");
        application.emplace(argc, argv);
    }
    return RUN_ALL_TESTS();
}
