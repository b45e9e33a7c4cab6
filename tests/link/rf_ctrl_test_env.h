// Shared by the controller's tests: one Qt application object for the whole
// test program (the window layer needs its event loop) and a bounded wait
// that keeps the loop turning.
#pragma once

#include <QCoreApplication>

#include <gtest/gtest.h>

#include "common/qt_wait.h"

class CQtAppEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        static int s_argc = 1;
        static char s_szArg0[] = "rf_ctrl_test";
        static char* s_argv[] = {s_szArg0, nullptr};
        m_pApp = new QCoreApplication(s_argc, s_argv);
    }
    void TearDown() override
    {
        delete m_pApp;
        m_pApp = nullptr;
    }

private:
    QCoreApplication* m_pApp = nullptr;
};

#define QM_REGISTER_QT_APP_ENVIRONMENT() \
    static ::testing::Environment* const s_pQtAppEnv = \
        ::testing::AddGlobalTestEnvironment(new CQtAppEnvironment)
