// The log box side of the activity log.
#include "shell/capture_dlg.h"

#include "shell/activity_log.h"

#include <QPlainTextEdit>
#include <QTextCursor>

LRESULT CCaptureDlg::OnLogText(WPARAM /*wParam*/, LPARAM lParam)
{
    const char* pszText = reinterpret_cast<const char*>(lParam);
    const std::string strBox = LogTextToBoxText(pszText);
    if (strBox.empty())
        return 0;

    // An empty box counts one line and every text adds one, so the count
    // before the k-th text is k: texts 1..200 are appended, the 201st
    // replaces everything and the box starts afresh with it.
    QTextCursor cursor(m_editLog->document());
    if (m_editLog->blockCount() <= LOG_MAX_LINES)
        cursor.movePosition(QTextCursor::End);
    else
        cursor.select(QTextCursor::Document);
    m_editLog->setTextCursor(cursor);
    m_editLog->ensureCursorVisible();
    cursor.insertText(QString::fromUtf8(strBox.data(), static_cast<qsizetype>(strBox.size())));
    m_editLog->setTextCursor(cursor);
    return 0;
}
