#pragma once

#include <QStringList>

struct CommandLine {
    bool fullscreen = false;
    QStringList files;
};

// The full-screen switch counts only in first place; every other entry is a file path.
// `arguments` includes the program path, as QCoreApplication::arguments gives it.
CommandLine parseCommandLine(QStringList arguments);
