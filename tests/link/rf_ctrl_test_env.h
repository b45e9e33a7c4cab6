// Shared by the controller's tests: one Qt application object for the whole
// test program (the window layer needs its event loop) and a bounded wait
// that keeps the loop turning.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QThread>

#include <gtest/gtest.h>

#include <functional>

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

// Runs the event loop until pred() holds or nTimeoutMs pass; returns pred().
inline bool WaitUntil(const std::function<bool()>& pred, int nTimeoutMs)
{
    QDeadlineTimer deadline(nTimeoutMs);
    while (!pred()) {
        if (deadline.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
    return true;
}

// Runs the event loop for nMs without a condition.
inline void PumpFor(int nMs)
{
    QDeadlineTimer deadline(nMs);
    while (!deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        QThread::msleep(1);
    }
}

#define QM_REGISTER_QT_APP_ENVIRONMENT() \
    static ::testing::Environment* const s_pQtAppEnv = \
        ::testing::AddGlobalTestEnvironment(new CQtAppEnvironment)
