#pragma once

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

// Closes every modal box and popup menu that comes up while it lives, recording each one's
// title and text (a menu: its entries), so that no test waits on a box nobody will click.
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
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            QStringList entries;
            for (QAction* action : menu->actions()) {
                entries << action->text();
            }
            boxes << Box{"menu", entries.join("|")};
            menu->close();
            return;
        }
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
