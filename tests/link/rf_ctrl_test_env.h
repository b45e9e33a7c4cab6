// Shared by the controller's tests: the window backend they run on and a
// bounded wait that keeps its loop turning. By default the portable loop (no
// Qt); a test built with QM_TEST_WND_QT runs on the Qt backend, with one Qt
// application object for the whole test program.
#pragma once

#include <gtest/gtest.h>

#ifdef QM_TEST_WND_QT

#include <QCoreApplication>

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

#define QM_REGISTER_WND_ENVIRONMENT() \
    static ::testing::Environment* const s_pQtAppEnv = \
        ::testing::AddGlobalTestEnvironment(new CQtAppEnvironment)

// Delivers what is ready now, without waiting.
inline void ProcessPending()
{
    QCoreApplication::processEvents();
}

#else

#include "common/loop_wait.h"

// The portable loop needs no application object.
#define QM_REGISTER_WND_ENVIRONMENT() static_assert(true, "")

// Delivers what is ready now, without waiting.
inline void ProcessPending()
{
    MsgLoopRunFor(0);
}

#endif
