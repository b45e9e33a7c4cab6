// Shared by the shell's Qt tests: private settings and runtime directories,
// pseudo-terminals published as ports, a dialog whose settings path and file
// chooser point where the test says, and the log box read back line by line.
#pragma once

#include "serial/port_names.h"
#include "shell/model/activity_log.h"
#include "shell/qt/capture_app.h"
#include "shell/qt/capture_dlg.h"
#include "base/settings.h"

#include <QByteArray>
#include <QFile>
#include <QPlainTextEdit>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "common/pty_posix.h"

// Points XDG_CONFIG_HOME and XDG_RUNTIME_DIR at a private directory for the
// whole test program, so nothing leaks into the user's own.
inline void UsePrivateXdgDirs(QTemporaryDir& dirXdg)
{
    QVERIFY(dirXdg.isValid());
    QByteArray byConfig = QFile::encodeName(dirXdg.path() + QStringLiteral("/config"));
    QByteArray byRuntime = QFile::encodeName(dirXdg.path() + QStringLiteral("/runtime"));
    QVERIFY(mkdir(byConfig.constData(), 0700) == 0);
    QVERIFY(mkdir(byRuntime.constData(), 0700) == 0);
    setenv("XDG_CONFIG_HOME", byConfig.constData(), 1);
    setenv("XDG_RUNTIME_DIR", byRuntime.constData(), 1);
}

// A pseudo-terminal whose slave is published as <ports dir>/com<n>.
class CPublishedPty : public CComPty {
public:
    bool Publish(const QString& strPortsDir, int nPort)
    {
        return CComPty::Publish(QFile::encodeName(strPortsDir).toStdString(), nPort);
    }
    const std::string& Node() const { return SlavePath(); }
};

// The main dialog with its settings in a test directory and a file chooser
// that answers what the test put in m_strChoice ("" = cancelled).
class CTestCaptureDlg : public CCaptureDlg {
public:
    explicit CTestCaptureDlg(const QString& strSettingsDir)
        : m_strSettingsDir(strSettingsDir)
    {
    }
    QString m_strSettingsDir;
    QString m_strChoice;
    int m_nChooserRuns = 0;

protected:
    void ComputeSettingsPath() override
    {
        InitSettingsPathFor(QFile::encodeName(m_strSettingsDir).constData());
    }
    QString ChooseWiresharkFile() override
    {
        ++m_nChooserRuns;
        return m_strChoice;
    }
};

// Makes the dialog the application's main window for the test's duration,
// as InitInstance does for the program's.
class CMainWndScope {
public:
    explicit CMainWndScope(CCaptureDlg* pDlg)
    {
        GetCaptureApp()->m_pMainWnd = pDlg;
        pDlg->m_model.AttachLog();
    }
    ~CMainWndScope()
    {
        GetCaptureApp()->m_pMainWnd = nullptr;
        SetLogTarget(nullptr);
    }
    CMainWndScope(const CMainWndScope&) = delete;
    CMainWndScope& operator=(const CMainWndScope&) = delete;
};

// The log box's lines, without the time prefix; the empty line that follows
// the last line end is left out.
inline QStringList LogMessages(const CCaptureDlg& dlg)
{
    QStringList lstLines = dlg.m_editLog->toPlainText().split(QLatin1Char('\n'));
    if (!lstLines.isEmpty() && lstLines.constLast().isEmpty())
        lstLines.removeLast();
    QStringList lstMessages;
    for (const QString& strLine : lstLines)
        lstMessages << strLine.mid(10);
    return lstMessages;
}

inline QByteArray ReadFileBytes(const QString& strPath)
{
    QFile file(strPath);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}
