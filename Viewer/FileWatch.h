#pragma once

#include <QDateTime>
#include <QFileSystemWatcher>
#include <QObject>
#include <QString>
#include <QTimer>

// Watches one file and says when a new version of it has settled: after a change, its size
// and modification time must stay the same over a whole quiet period, so a file still being
// written is never reported. Also follows writers that replace the file by renaming.
class FileWatch : public QObject {
    Q_OBJECT
public:
    explicit FileWatch(QObject* parent = nullptr);

    // The file to watch; an empty name watches nothing. The version present now counts as seen.
    void follow(const QString& path);
    const QString& path() const { return watched; }
    // Whether the file differs now from the version last reported, as it does when a writer
    // started again while that version was being read.
    bool changedSinceSettled() const;
    // How long a new version must stay unchanged before it is reported.
    int quietMilliseconds = 300;

signals:
    void settled(const QString& path);

private:
    struct Stamp {
        bool exists = false;
        qint64 size = -1;
        QDateTime modified;
        bool operator==(const Stamp& other) const {
            return exists == other.exists && size == other.size && modified == other.modified;
        }
        bool operator!=(const Stamp& other) const { return !(*this == other); }
    };
    Stamp stampNow() const;
    void changed();
    void poll();

    QFileSystemWatcher watcher;
    QTimer quiet;
    QString watched;
    // The version last reported (or present when following began), and the one seen at the
    // last poll.
    Stamp reported;
    Stamp lastSeen;
};
