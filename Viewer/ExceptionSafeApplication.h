#pragma once

#include "MacApp.h"

// Guards every event delivery: an escaping exception is logged and shown, and the program
// goes on.
class ExceptionSafeApplication : public MacApp {
public:
    ExceptionSafeApplication(int& argc, char** argv);
    ~ExceptionSafeApplication() override;

    bool notify(QObject* receiver, QEvent* e) override;
};
