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
    // When set, a menu that comes up has its entry of this text chosen instead of being closed.
    QString menuChoice;

private:
    void closeActive() {
        if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
            QStringList entries;
            for (QAction* action : menu->actions()) {
                entries << action->text();
            }
            boxes << Box{"menu", entries.join("|")};
            QAction* chosen = nullptr;
            for (QAction* action : menu->actions()) {
                if (!menuChoice.isEmpty() && action->text() == menuChoice) {
                    chosen = action;
                }
            }
            menu->close();
            if (chosen != nullptr) {
                QTimer::singleShot(0, chosen, &QAction::trigger);
            }
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
