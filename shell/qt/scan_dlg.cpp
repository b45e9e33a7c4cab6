#include "shell/qt/scan_dlg.h"

#include "engine/channels.h"
#include "shell/model/dlg_ids.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

namespace {

QRect ToQRect(const CScanRect& rc)
{
    return QRect(QPoint(rc.m_nLeft, rc.m_nTop), QPoint(rc.m_nRight - 1, rc.m_nBottom - 1));
}

} // namespace

CScanChart::CScanChart(QWidget* pParent)
    : QWidget(pParent)
    , m_nChannelNow(0)
{
    setObjectName(QStringLiteral("IDC_SCAN_CHART"));
    const int nLine = fontMetrics().height();
    setMinimumSize(CHANNEL_COUNT * SCAN_COLUMN_MIN_PX + nLine, qMax(SCAN_CHART_MIN_HEIGHT_PX, 12 * nLine));
    setCursor(Qt::PointingHandCursor);
    // Empty columns until the first counts come.
    for (int32_t n = CHANNEL_FIRST; n <= CHANNEL_LAST; ++n) {
        CSurveyChannel ch;
        ch.m_nChannel = n;
        m_vecChannels.push_back(ch);
    }
}

void CScanChart::SetChannels(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow)
{
    m_vecChannels = vecChannels;
    m_nChannelNow = nChannelNow;
    update();
}

std::vector<CScanBar> CScanChart::Layout() const
{
    return LayoutScanChart(m_vecChannels, m_nChannelNow, width(), height(), fontMetrics().height());
}

void CScanChart::paintEvent(QPaintEvent* /*pEvent*/)
{
    QPainter painter(this);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.color(QPalette::Base));
    const int nLine = fontMetrics().height();
    for (const CScanBar& bar : Layout()) {
        if (bar.m_bNow)
            painter.fillRect(ToQRect(bar.m_rcColumn), pal.color(QPalette::AlternateBase).darker(110));
        painter.fillRect(ToQRect(bar.m_rcBar), bar.m_bNow ? pal.color(QPalette::Highlight).lighter(130)
                                                          : pal.color(QPalette::Highlight));
        painter.setPen(pal.color(QPalette::Text));
        painter.setFont(font());
        painter.drawText(ToQRect(bar.m_rcCount), Qt::AlignHCenter | Qt::AlignBottom, QString::fromStdString(bar.m_strCount));
        for (size_t i = 0; i < bar.m_vecLabels.size(); ++i) {
            const QRect rcLine(bar.m_rcColumn.m_nLeft, bar.m_nLabelsTop + static_cast<int>(i) * nLine,
                bar.m_rcColumn.m_nRight - bar.m_rcColumn.m_nLeft, nLine);
            QFont fontLine = font();
            fontLine.setBold(i == 0);   // the channel
            painter.setFont(fontLine);
            painter.drawText(rcLine, Qt::AlignHCenter | Qt::AlignVCenter, QString::fromStdString(bar.m_vecLabels[i]));
        }
    }
}

void CScanChart::mousePressEvent(QMouseEvent* pEvent)
{
    const QPoint pt = pEvent->position().toPoint();
    const int32_t nChannel = ScanChannelAt(Layout(), pt.x(), pt.y());
    if (pEvent->button() == Qt::LeftButton && nChannel != 0 && m_fnTake)
        m_fnTake(nChannel);
}

CScanDlg::CScanDlg(QWidget* pParent, std::function<void(int32_t)> fnTake)
    : QDialog(pParent)
    , m_pChart(new CScanChart(this))
    , m_pHint(new QLabel(this))
    , m_bRunning(false)
{
    setObjectName(QStringLiteral("IDD_SCAN"));
    setWindowTitle(QString::fromUtf8(STR_SCAN_TITLE));
    m_pHint->setObjectName(QStringLiteral("IDC_SCAN_HINT"));
    m_pChart->SetOnTake(std::move(fnTake));
    auto* pLayout = new QVBoxLayout(this);
    pLayout->addWidget(m_pChart, 1);
    pLayout->addWidget(m_pHint);
}

void CScanDlg::ShowSurvey(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow, bool bRunning)
{
    m_pChart->SetChannels(vecChannels, nChannelNow);
    m_pHint->setText(QString::fromUtf8(bRunning ? STR_SCAN_HINT_RUNNING : STR_SCAN_HINT_DONE));
    if (bRunning && !m_bRunning)
        show();   // non-modal: the main dialog's Stop stays in reach
    m_bRunning = bRunning;
}
