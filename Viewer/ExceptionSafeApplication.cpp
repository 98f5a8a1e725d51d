#include "ExceptionSafeApplication.h"

#include <QMessageBox>
#include <QtDebug>

#include <exception>

ExceptionSafeApplication::ExceptionSafeApplication(int& argc, char** argv) : MacApp(argc, argv) {}

ExceptionSafeApplication::~ExceptionSafeApplication() = default;

bool ExceptionSafeApplication::notify(QObject* receiver, QEvent* e) {
    try {
        return QApplication::notify(receiver, e);
    } catch (const std::exception& error) {
        qCritical("Error: %s", error.what());
        QMessageBox::critical(QApplication::activeWindow(), tr("Marovex Viewer"),
                              QString("Error: %1").arg(QString::fromUtf8(error.what())),
                              QMessageBox::Ok);
    } catch (...) {
        qCritical("Unknown Error");
    }
    return false;
}
