#include "shell/qt/capture_dlg.h"

#include "base/settings.h"
#include "shell/qt/about_dlg.h"
#include "shell/qt/scan_dlg.h"
#include "ui_main_dialog.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QKeySequence>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>

namespace {

constexpr int32_t MAX_BOXES_ABOVE = 16;   // modal boxes a signal closes, at most

QString FromUtf8(const std::string& str)
{
    return QString::fromUtf8(str.data(), static_cast<qsizetype>(str.size()));
}

} // namespace

// The icons live in a static library, whose resource initialiser the linker
// would otherwise drop.
void InitShellResources()
{
    static const bool s_bDone = [] {
        Q_INIT_RESOURCE(quillmark);
        return true;
    }();
    (void)s_bDone;
}

CCaptureDlg::CCaptureDlg(QWidget* pParent)
    : QDialog(pParent)
    , m_pUi(std::make_unique<Ui::CCaptureDlgUi>())
    , m_bInitDone(false)
    , m_pActAbout(nullptr)
    , m_pScanDlg(nullptr)
    , m_editLog(nullptr)
    , m_comboDevice(nullptr)
    , m_comboChannel(nullptr)
    , m_btnBrowse(nullptr)
    , m_btnRefresh(nullptr)
    , m_btnStart(nullptr)
    , m_btnExit(nullptr)
    , m_btnStop(nullptr)
    , m_hIcon()
    , m_model(*this, m_devices)
{
    InitShellResources();
    for (int nSize : { 16, 32, 48, 64, 128, 256 })
        m_hIcon.addFile(QStringLiteral(":/icons/quillmark_%1.png").arg(nSize), QSize(nSize, nSize));

    // The window with its controls and the channel items, as the template has them.
    m_pUi->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    m_editLog = m_pUi->IDC_LOG;
    m_comboDevice = m_pUi->IDC_DEVICE;
    m_comboChannel = m_pUi->IDC_CHANNEL;
    m_btnBrowse = m_pUi->IDC_BROWSE;
    m_btnRefresh = m_pUi->IDC_REFRESH;
    m_btnStart = m_pUi->IDC_START;
    m_btnExit = m_pUi->IDC_EXIT;
    m_btnStop = m_pUi->IDC_STOP;
    // The log's own inserts are not meant to be undone.
    m_editLog->document()->setUndoRedoEnabled(false);
    FixRxLabelSize();
    m_model.SetSettingsPathSource([this] { ComputeSettingsPath(); });
    m_model.SetDeviceWatch(&m_deviceWatch);

    // Only user choices write the settings: activated, not currentIndexChanged.
    connect(m_comboDevice, &QComboBox::activated, this, [this](int) { OnSelChangeDevice(); });
    connect(m_comboChannel, &QComboBox::activated, this, [this](int) { OnSelChangeChannel(); });
    connect(m_btnRefresh, &QPushButton::clicked, this, [this] { OnRefreshDevices(); });
    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnStart, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_btnStop, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(m_pUi->IDC_SCAN, &QPushButton::clicked, this, [this] { OnScan(); });
    connect(m_btnExit, &QPushButton::clicked, this, [this] { OnExit(); });
    // clicked, not toggled: the model's own ShowMode is no choice of the user's.
    connect(m_pUi->IDC_MODE_WIRESHARK, &QRadioButton::clicked, this,
        [this] { m_model.OnModeChosen(ECaptureMode::Wireshark); });
    connect(m_pUi->IDC_MODE_PCAPFILE, &QRadioButton::clicked, this,
        [this] { m_model.OnModeChosen(ECaptureMode::PcapFile); });
    connect(m_pUi->IDC_WIRESHARK_PATH, &QLineEdit::textEdited, this,
        [this](const QString& strText) { m_model.OnPathTyped(QFile::encodeName(strText).toStdString()); });
}

CCaptureDlg::~CCaptureDlg() = default;

// A label whose size never changes does not lay the dialog out again when
// its text changes: room for the longest count there can be.
void CCaptureDlg::FixRxLabelSize()
{
    QLabel* pLabel = m_pUi->IDC_RX_COUNT;
    const QFontMetrics fm(pLabel->font());
    const int nWidth = fm.horizontalAdvance(QStringLiteral("Rx : 18446744073709551615")) + 2 * pLabel->margin() + 4;
    pLabel->setFixedSize(qMax(nWidth, pLabel->minimumWidth()), qMax(pLabel->sizeHint().height(), fm.height()));
}

int CCaptureDlg::DoModal()
{
    if (!m_bInitDone)
        OnInitDialog();
    return exec();
}

bool CCaptureDlg::OnInitDialog()
{
    m_bInitDone = true;
    // No system menu to extend on X11 and Wayland: the About command is
    // offered in the context menu and on F1.
    if (m_pActAbout == nullptr) {
        m_pActAbout = new QAction(QString::fromUtf8(STR_ABOUTBOX), this);
        m_pActAbout->setShortcut(QKeySequence(Qt::Key_F1));
        m_pActAbout->setShortcutContext(Qt::WindowShortcut);
        connect(m_pActAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX, 0); });
        addAction(m_pActAbout);
        setContextMenuPolicy(Qt::ActionsContextMenu);
    }
    setWindowIcon(m_hIcon);
    m_pUi->IDC_MODE_WIRESHARK->setChecked(true);
    m_model.OnInitDialog();
    return true;
}

void CCaptureDlg::ComputeSettingsPath()
{
    InitSettingsPath();
}

LRESULT CCaptureDlg::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    return m_model.OnMessage(nMsg, wParam, lParam);
}

QWidget* CCaptureDlg::GetDlgItem(int32_t nID) const
{
    for (const CDlgItemId& item : g_mainDlgItems) {
        if (item.m_nID == nID)
            return findChild<QWidget*>(QString::fromLatin1(item.m_pszName));
    }
    return nullptr;
}

void CCaptureDlg::SetPipeTimeouts(uint32_t dwConnectMs, uint32_t dwReconnectMs)
{
    m_model.SetPipeTimeouts(dwConnectMs, dwReconnectMs);
}

void CCaptureDlg::SetAckTimeoutMs(uint32_t dwMs)
{
    m_model.SetAckTimeoutMs(dwMs);
}

void CCaptureDlg::OnSysCommand(uint32_t nID, LPARAM /*lParam*/)
{
    m_model.OnSysCommand(nID);
}

void CCaptureDlg::reject()
{
    m_model.OnCancel();
}

void CCaptureDlg::OnSelChangeDevice()
{
    m_model.OnDeviceChosen(m_comboDevice->currentIndex());
}

void CCaptureDlg::OnSelChangeChannel()
{
    m_model.OnChannelChosen(m_comboChannel->currentIndex());
}

void CCaptureDlg::ShowDevices(const std::vector<CDeviceItem>& vecItems, int32_t nSelected)
{
    m_comboDevice->clear();
    for (const CDeviceItem& item : vecItems)
        m_comboDevice->addItem(FromUtf8(item.m_strName), QVariant(static_cast<int>(item.m_nPort)));
    m_comboDevice->setCurrentIndex(nSelected);
}

void CCaptureDlg::ShowChannel(int32_t nIndex)
{
    m_comboChannel->setCurrentIndex(nIndex);
}

// Only what changed is set: the same text again would move the caret and
// re-lay out the label.
void CCaptureDlg::ShowPath(const std::string& strPath)
{
    const QString strText = QFile::decodeName(QByteArray::fromStdString(strPath));
    if (m_pUi->IDC_WIRESHARK_PATH->text() != strText)
        m_pUi->IDC_WIRESHARK_PATH->setText(strText);
}

void CCaptureDlg::ShowRx(const std::string& strText)
{
    const QString strRx = FromUtf8(strText);
    if (m_pUi->IDC_RX_COUNT->text() != strRx)
        m_pUi->IDC_RX_COUNT->setText(strRx);
}

// A scan runs as a capture does: Start and Scan wait for Stop.
void CCaptureDlg::SetRunning(bool bRunning)
{
    m_btnStart->setEnabled(!bRunning);
    m_pUi->IDC_SCAN->setEnabled(!bRunning);
    m_btnStop->setEnabled(bRunning);
}

void CCaptureDlg::ShowSurvey(const std::vector<CSurveyChannel>& vecChannels, int32_t nChannelNow, bool bRunning)
{
    if (m_pScanDlg == nullptr)
        m_pScanDlg = new CScanDlg(this, [this](int32_t nChannel) { m_model.OnTakeChannel(nChannel); });
    m_pScanDlg->ShowSurvey(vecChannels, nChannelNow, bRunning);
}

void CCaptureDlg::ShowRetuning(bool bRetuning)
{
    m_comboChannel->setEnabled(!bRetuning);
}

int32_t CCaptureDlg::CountLogLines() const
{
    return static_cast<int32_t>(m_editLog->blockCount());
}

void CCaptureDlg::AppendLog(const std::string& strText)
{
    InsertLogText(strText, false);
}

void CCaptureDlg::ReplaceLog(const std::string& strText)
{
    InsertLogText(strText, true);
}

void CCaptureDlg::InsertLogText(const std::string& strText, bool bReplace)
{
    QTextCursor cursor(m_editLog->document());
    if (bReplace)
        cursor.select(QTextCursor::Document);
    else
        cursor.movePosition(QTextCursor::End);
    m_editLog->setTextCursor(cursor);
    m_editLog->ensureCursorVisible();
    cursor.insertText(FromUtf8(strText));
    m_editLog->setTextCursor(cursor);
}

QString CCaptureDlg::ChooseWiresharkFile()
{
    QFileDialog dlgFile(this);
    dlgFile.setAcceptMode(QFileDialog::AcceptOpen);
    dlgFile.setFileMode(QFileDialog::AnyFile);
    dlgFile.setNameFilters({ QStringLiteral("Wireshark File (wireshark*)"),
        QStringLiteral("All Files (*)") });
    dlgFile.selectFile(QStringLiteral("wireshark"));
    if (dlgFile.exec() != QDialog::Accepted || dlgFile.selectedFiles().isEmpty())
        return QString();
    return dlgFile.selectedFiles().constFirst();
}

bool CCaptureDlg::ChooseProgramFile(std::string& strPath)
{
    const QString strChosen = ChooseWiresharkFile();
    if (strChosen.isEmpty())
        return false;
    strPath = QFile::encodeName(strChosen).toStdString();
    return true;
}

void CCaptureDlg::ShowMode(ECaptureMode eMode, const std::string& strPathLabel)
{
    QRadioButton* pButton = eMode == ECaptureMode::PcapFile ? m_pUi->IDC_MODE_PCAPFILE : m_pUi->IDC_MODE_WIRESHARK;
    pButton->setChecked(true);
    m_pUi->IDC_PATH_LABEL->setText(FromUtf8(strPathLabel));
}

QString CCaptureDlg::ChoosePcapFile()
{
    QFileDialog dlgFile(this);
    dlgFile.setAcceptMode(QFileDialog::AcceptSave);   // asks before an existing file is chosen
    dlgFile.setFileMode(QFileDialog::AnyFile);
    dlgFile.setDefaultSuffix(QStringLiteral("pcap"));
    dlgFile.setNameFilters({ QStringLiteral("pcap File (*.pcap)"), QStringLiteral("All Files (*)") });
    const QString strShown = m_pUi->IDC_WIRESHARK_PATH->text();
    if (!strShown.isEmpty())
        dlgFile.selectFile(strShown);
    if (dlgFile.exec() != QDialog::Accepted || dlgFile.selectedFiles().isEmpty())
        return QString();
    return dlgFile.selectedFiles().constFirst();
}

bool CCaptureDlg::ChooseSaveFile(std::string& strPath)
{
    const QString strChosen = ChoosePcapFile();
    if (strChosen.isEmpty())
        return false;
    strPath = QFile::encodeName(strChosen).toStdString();
    return true;
}

bool CCaptureDlg::ConfirmOverwrite(const std::string& strPath)
{
    const QString strText = QStringLiteral("%1 exists.\nReplace it with the new capture?")
        .arg(QFile::decodeName(QByteArray::fromStdString(strPath)));
    return QMessageBox::question(this, QStringLiteral("Save to .pcap file"), strText,
               QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

void CCaptureDlg::ShowAbout()
{
    CAboutDlg dlgAbout(this);
    dlgAbout.exec();
}

void CCaptureDlg::EndDialog(ECaptureEnd eHow)
{
    if (eHow == ECaptureEnd::Cancel) {
        QDialog::reject();
        return;
    }
    if (eHow == ECaptureEnd::Signal) {
        // A modal box above the dialog (About, the file chooser) would keep
        // its own loop running: close those first, topmost first.
        for (int32_t i = 0; i < MAX_BOXES_ABOVE; ++i) {
            QDialog* pBox = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (pBox == nullptr || pBox == this)
                break;
            pBox->reject();
        }
    }
    done(QDialog::Accepted);
}
