// The scan window of the Qt face: the bars of LayoutScanChart painted live,
// a click on a column hands its channel to the owner. It decides nothing:
// the model says what to show, the owner what a click does.
#pragma once

#include "shell/model/scan_chart.h"

#include <QDialog>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <vector>

class QLabel;

class CScanChart : public QWidget {
    Q_OBJECT

public:
    explicit CScanChart(QWidget* pParent = nullptr);
    void SetChannels(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow);
    void SetOnTake(std::function<void(int32_t)> fnTake) { m_fnTake = std::move(fnTake); }
    // The bars as painted now (tests click them).
    std::vector<CScanBar> Layout() const;

protected:
    void paintEvent(QPaintEvent* pEvent) override;
    void mousePressEvent(QMouseEvent* pEvent) override;

private:
    std::vector<CSurveyChannel> m_vecChannels;
    int32_t m_nChannelNow;
    std::function<void(int32_t)> m_fnTake;
};

class CScanDlg : public QDialog {
    Q_OBJECT

public:
    // fnTake gets the channel (11..26) the user clicked.
    CScanDlg(QWidget* pParent, std::function<void(int32_t)> fnTake);
    // A new scan shows the window (it may have been closed since the last one).
    void ShowSurvey(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow, bool bRunning);
    CScanChart* GetChart() const { return m_pChart; }

private:
    CScanChart* m_pChart;
    QLabel* m_pHint;
    bool m_bRunning;
};
