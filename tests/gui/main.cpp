// GUI tests run on a private Xvfb display that lives as long as this process.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

#include "tests/support/xvfb.h"

namespace {

class GuiEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        server_ = std::make_unique<glowtern::testing::PrivateXServer>();
        ASSERT_TRUE(server_->running()) << "Xvfb could not be started";
        qputenv("QT_QPA_PLATFORM", "xcb");
        static int argc = 1;
        static char name[] = "glowtern_gui_tests";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override {
        app_.reset();
        server_.reset();
    }

  private:
    std::unique_ptr<glowtern::testing::PrivateXServer> server_;
    std::unique_ptr<QApplication> app_;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::AddGlobalTestEnvironment(new GuiEnvironment);
    return RUN_ALL_TESTS();
}
