#include <cstdlib>
#include <memory>

#include <QApplication>
#include <gtest/gtest.h>

#include "tests/support/XvfbServer.h"

namespace {

// Every test of this program runs its widgets on one private Xvfb, under one QApplication.
class QtEnvironment final : public ::testing::Environment {
 public:
  void SetUp() override {
    xvfb_ = std::make_unique<corvel::test::XvfbServer>();
    ASSERT_TRUE(xvfb_->isRunning()) << xvfb_->errors();
    ::setenv("DISPLAY", xvfb_->displayName().c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    app_ = std::make_unique<QApplication>(argc_, argv_);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override {
    app_.reset();
    xvfb_.reset();
  }

 private:
  int argc_ = 1;
  char name_[9] = "ui_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<corvel::test::XvfbServer> xvfb_;
  std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] const auto* const registered = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

}  // namespace
