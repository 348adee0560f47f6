// The command line's progress: one line on standard error that redraws itself about ten times a
// second with what runs now (core::ProgressMeter), when standard error is a terminal; nothing at
// all otherwise. Standard output stays exactly the log. When both go to the same terminal the
// line sits behind the log's unfinished line and is taken away before each piece of log text,
// so the log reads on the screen as it would without it. What the line shows names peers (a TFTP
// client's file name, the controller's version text): it is drawn through core::escape_controls.
#pragma once

#include <cstdio>
#include <memory>

#include "core/event_log.h"

namespace app {

// How the line is taken away before it is drawn anew or the log goes on: with the erase
// sequence (ESC [ K), or with blanks over what was drawn, for a Windows console that shows the
// sequence instead of acting on it (before Windows 10).
enum class LineClearing { sequence, blanks };

class ProgressLine {
public:
    // Draws on `out` (standard error but in tests) when it is a terminal, with the erase
    // sequence where the terminal takes it (see platform::enable_terminal_sequences).
    explicit ProgressLine(std::FILE* out = stderr);
    ProgressLine(std::FILE* out, LineClearing clearing);
    ~ProgressLine() { stop(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // Stops drawing and takes the line away; for an end without destructors (std::_Exit).
    void stop();

    // The log sink for standard output that keeps clear of the line.
    std::shared_ptr<core::LogSink> log_sink() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace app
