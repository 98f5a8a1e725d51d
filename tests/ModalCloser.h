#pragma once

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// Closes every modal box that comes up while it lives, recording each one's title and text,
// so that no test waits on a box nobody will click.
class ModalCloser : public QObject {
public:
    struct Box {
        QString title;
        QString text;
    };

    ModalCloser() {
        connect(&timer, &QTimer::timeout, this, [this] { closeActive(); });
        timer.start(20);
    }

    QList<Box> boxes;

private:
    void closeActive() {
        QWidget* modal = QApplication::activeModalWidget();
        auto* dialog = qobject_cast<QDialog*>(modal);
        if (dialog == nullptr || !dialog->isVisible()) {
            return;
        }
        Box box{dialog->windowTitle(), QString()};
        if (auto* messageBox = qobject_cast<QMessageBox*>(dialog)) {
            box.text = messageBox->text();
        }
        boxes << box;
        dialog->reject();
    }

    QTimer timer;
};
