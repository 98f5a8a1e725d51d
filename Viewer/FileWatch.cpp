#include "FileWatch.h"

#include <QFileInfo>

FileWatch::FileWatch(QObject* parent) : QObject(parent) {
    quiet.setSingleShot(true);
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &FileWatch::changed);
    // A file replaced by a rename shows as a change of its folder.
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &FileWatch::changed);
    connect(&quiet, &QTimer::timeout, this, &FileWatch::poll);
}

void FileWatch::follow(const QString& path) {
    const QString absolute = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
    if (absolute == watched) {
        return;
    }
    if (!watcher.files().isEmpty()) {
        watcher.removePaths(watcher.files());
    }
    if (!watcher.directories().isEmpty()) {
        watcher.removePaths(watcher.directories());
    }
    quiet.stop();
    watched = absolute;
    if (watched.isEmpty()) {
        return;
    }
    watcher.addPath(QFileInfo(watched).absolutePath());
    watcher.addPath(watched);
    reported = lastSeen = stampNow();
}

bool FileWatch::changedSinceSettled() const {
    return stampNow() != reported;
}

FileWatch::Stamp FileWatch::stampNow() const {
    Stamp stamp;
    const QFileInfo info(watched);
    if (info.exists()) {
        stamp.exists = true;
        stamp.size = info.size();
        stamp.modified = info.lastModified();
    }
    return stamp;
}

void FileWatch::changed() {
    if (watched.isEmpty()) {
        return;
    }
    // A rename over the file drops it from the watcher; the new one is watched again.
    if (!watcher.files().contains(watched) && QFileInfo::exists(watched)) {
        watcher.addPath(watched);
    }
    lastSeen = stampNow();
    quiet.start(quietMilliseconds);
}

void FileWatch::poll() {
    const Stamp now = stampNow();
    if (now != lastSeen) {
        // Still being written (a writer may not tell the watcher of every piece).
        lastSeen = now;
        quiet.start(quietMilliseconds);
        return;
    }
    if (!now.exists || now == reported) {
        return;
    }
    reported = now;
    emit settled(watched);
}
