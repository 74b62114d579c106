// The one Qt application object of a window or process test program, made
// before the first case and deleted after the last (App: QApplication, or
// QCoreApplication where no window is shown).
#pragma once

#include <gtest/gtest.h>

template <typename App>
class QtAppEnvironment : public ::testing::Environment {
public:
    explicit QtAppEnvironment(const char* name) : name_(name) {}
    void SetUp() override {
        static int argc = 1;
        static char* argv[] = {const_cast<char*>(name_), nullptr};
        app_ = new App(argc, argv);
    }
    void TearDown() override {
        delete app_;
        app_ = nullptr;
    }

private:
    const char* name_;
    App* app_ = nullptr;
};
