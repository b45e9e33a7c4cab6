#include "shell/capture_dlg.h"

#include "serial/port_names.h"
#include "shell/about_dlg.h"
#include "shell/activity_log.h"
#include "shell/settings.h"
#include "ui_main_dialog.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QKeySequence>
#include <QPlainTextEdit>
#include <QTextDocument>

#include <string>

int32_t CCaptureDlg::s_nRxBytesSinceUpdate = RX_UPDATE_BYTES;

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
    , m_qwLostAtStart(0)
    , m_dwConnectTimeoutMs(PIPE_CONNECT_TIMEOUT_MS)
    , m_editLog(nullptr)
    , m_comboDevice(nullptr)
    , m_comboChannel(nullptr)
    , m_btnBrowse(nullptr)
    , m_btnRefresh(nullptr)
    , m_btnStart(nullptr)
    , m_btnExit(nullptr)
    , m_btnStop(nullptr)
    , m_hIcon()
    , m_nRxBytes(0)
    , m_bCapturing(0)
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

    // Only user choices write the settings: activated, not currentIndexChanged.
    connect(m_comboDevice, &QComboBox::activated, this, [this](int) { OnSelChangeDevice(); });
    connect(m_comboChannel, &QComboBox::activated, this, [this](int) { OnSelChangeChannel(); });
    connect(m_btnRefresh, &QPushButton::clicked, this, [this] { OnRefreshDevices(); });
    connect(m_btnBrowse, &QPushButton::clicked, this, [this] { OnBrowse(); });
    connect(m_btnStart, &QPushButton::clicked, this, [this] { OnStart(); });
    connect(m_btnStop, &QPushButton::clicked, this, [this] { OnStop(); });
    connect(m_btnExit, &QPushButton::clicked, this, [this] { OnExit(); });
}

CCaptureDlg::~CCaptureDlg() = default;

int CCaptureDlg::DoModal()
{
    if (!m_bInitDone)
        OnInitDialog();
    return exec();
}

bool CCaptureDlg::OnInitDialog()
{
    m_bInitDone = true;
    // 1. The controls show the (empty) members: the Rx label and the path box go blank.
    UpdateData(false);

    // 2. No system menu to extend on X11 and Wayland: the About command is
    //    offered in the context menu and on F1.
    m_pActAbout = new QAction(QString::fromUtf8(STR_ABOUTBOX), this);
    m_pActAbout->setShortcut(QKeySequence(Qt::Key_F1));
    m_pActAbout->setShortcutContext(Qt::WindowShortcut);
    connect(m_pActAbout, &QAction::triggered, this, [this] { OnSysCommand(IDM_ABOUTBOX, 0); });
    addAction(m_pActAbout);
    setContextMenuPolicy(Qt::ActionsContextMenu);

    // 3. Large and small icon.
    setWindowIcon(m_hIcon);

    // 4. Settings path, and the ports directory inside the settings directory.
    ComputeSettingsPath();
    std::string strPorts = GetSettingsDirectory();
    strPorts += "/ports";
    SetPortsDirectory(strPorts.c_str());

    // 5.-7.
    FillDeviceList();
    SelectStoredChannel();
    LoadWiresharkPath();

    // 8. The controller's hidden window; its result is not looked at.
    m_rfCtrl.Create(this, IDC_RFCTRL);
    return true;
}

void CCaptureDlg::ComputeSettingsPath()
{
    InitSettingsPath();
}

LRESULT CCaptureDlg::OnMessage(uint32_t nMsg, WPARAM wParam, LPARAM lParam)
{
    switch (nMsg) {
    case WM_LOG_TEXT:
        return OnLogText(wParam, lParam);
    case WM_RF_STATUS:
        return OnRfStatus(wParam, lParam);
    case WM_RF_FRAME:
        return OnRfFrame(wParam, lParam);
    default:
        return 0;
    }
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
    m_dwConnectTimeoutMs = dwConnectMs;
    m_pcapPipe.SetTimeouts(dwConnectMs, dwReconnectMs);
}

void CCaptureDlg::UpdateData(bool bSaveAndValidate)
{
    if (bSaveAndValidate)
        return;   // nothing is ever read back from the controls
    m_pUi->IDC_RX_COUNT->setText(m_strRxCount);
    m_pUi->IDC_WIRESHARK_PATH->setText(m_strWiresharkPath);
}

void CCaptureDlg::LoadWiresharkPath()
{
    char szPath[SETTINGS_VALUE_SIZE];
    ReadSettingString(SETTINGS_INDEX, "Wireshark", SETTINGS_DEFAULT_WIRESHARK, szPath);
    m_strWiresharkPath = QFile::decodeName(szPath);
    m_pUi->IDC_MODE_WIRESHARK->setChecked(true);
    UpdateData(false);
}

void CCaptureDlg::OnSysCommand(uint32_t nID, LPARAM /*lParam*/)
{
    if ((nID & 0xFFF0u) == static_cast<uint32_t>(IDM_ABOUTBOX)) {
        CAboutDlg dlgAbout(this);
        dlgAbout.exec();
    }
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

void CCaptureDlg::OnBrowse()
{
    QString strChosen = ChooseWiresharkFile();
    if (strChosen.isEmpty())
        return;
    QByteArray byPath = QFile::encodeName(strChosen);
    // The setting holds at most 255 bytes; a cut path would name another file.
    if (byPath.size() >= SETTINGS_VALUE_SIZE) {
        LogPrintf("Wireshark path not saved: it is %d bytes long, at most %d fit: %s\n",
            static_cast<int>(byPath.size()), SETTINGS_VALUE_SIZE - 1, byPath.constData());
        return;
    }
    m_strWiresharkPath = strChosen;
    if (WriteSettingString(SETTINGS_INDEX, "Wireshark", byPath.constData()) != 1)
        LogWriteFailure("Wireshark");
    UpdateData(false);
}

void CCaptureDlg::OnExit()
{
    m_rfCtrl.StopCapture();
    m_rfCtrl.Shutdown();     // lets the stop command leave before the port closes
    m_pcapPipe.Disconnect();
    done(QDialog::Accepted);
}

void CCaptureDlg::LogWriteFailure(const char* pszKey)
{
    LogPrintf("Could not save \"%s\" in %s\n", pszKey, GetSettingsPath());
}
