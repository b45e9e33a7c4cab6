// Quillmark: live IEEE 802.15.4 capture from a sniffer dongle into Wireshark.
#include "shell/qt/capture_app.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(QStringLiteral(QM_VERSION_STRING));
    QGuiApplication::setDesktopFileName(QStringLiteral(QM_APP_ID));
    GetCaptureApp()->InitInstance();
    return 0;
}
