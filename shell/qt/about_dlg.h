// The About box: the icon, "Quillmark Version 1.0", a line about the program
// and OK.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui { class CAboutDlgUi; }

class CAboutDlg : public QDialog {
    Q_OBJECT

public:
    explicit CAboutDlg(QWidget* pParent = nullptr);
    ~CAboutDlg() override;

private:
    std::unique_ptr<Ui::CAboutDlgUi> m_pUi;
};
