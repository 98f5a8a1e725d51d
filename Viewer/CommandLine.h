#pragma once

#include <QStringList>

struct CommandLine {
    bool fullscreen = false;
    // --help, --version and --watch anywhere on the line; a file of such a name is given as
    // ./--help and the like.
    bool help = false;
    bool version = false;
    bool watch = false;
    // --memory-budget MB (or --memory-budget=MB): the card's megabytes the resident pictures
    // may take; 0 where not given.
    long long memoryBudget = 0;
    // What was wrong with the line, empty where nothing was.
    QString error;
    QStringList files;
};

// The full-screen switch counts only in first place; every other entry is a file path.
// `arguments` includes the program path, as QCoreApplication::arguments gives it.
CommandLine parseCommandLine(QStringList arguments);

// The text of --help, ending in a line break.
extern const char* const commandLineHelp;
