#pragma once

#include <functional>
#include <string>

// The one outlet of the library's diagnostic lines ("[T]" timings, statistics, sizes). By
// default each line goes to the standard error stream, flushed. Safe from any thread.
using DiagnosticSink = std::function<void(const std::string& line)>;

// Sends one line (without its line feed) to the current sink.
void diagnostic(const std::string& line);

// Replaces the sink; an empty function drops every line. Returns the previous sink.
DiagnosticSink setDiagnosticSink(DiagnosticSink sink);

// Drops every diagnostic line for its lifetime when `quiet`, then puts the sink back.
class DiagnosticsSilenced {
public:
    explicit DiagnosticsSilenced(bool quiet);
    ~DiagnosticsSilenced();
    DiagnosticsSilenced(const DiagnosticsSilenced&) = delete;
    DiagnosticsSilenced& operator=(const DiagnosticsSilenced&) = delete;

private:
    bool quiet;
    DiagnosticSink saved;
};
