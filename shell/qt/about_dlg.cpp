#include "shell/qt/about_dlg.h"

#include "ui_about_dialog.h"

void InitShellResources();

CAboutDlg::CAboutDlg(QWidget* pParent)
    : QDialog(pParent)
    , m_pUi(std::make_unique<Ui::CAboutDlgUi>())
{
    InitShellResources();
    m_pUi->setupUi(this);
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
        | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    if (pParent != nullptr)
        setWindowIcon(pParent->windowIcon());
}

CAboutDlg::~CAboutDlg() = default;
