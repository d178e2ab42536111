// The two message boxes the program shows, and the outcome lines of -install and -remove.
#pragma once

namespace plat {

// Shows text under caption with an OK button and no owner window, and returns once the user
// has dismissed it. Where there is no desktop (Linux), the text goes to the terminal and the
// box counts as dismissed on Enter, end of input, SIGINT or SIGTERM.
void ShowMessage(const char* text, const char* caption);

// From here on, the signals that dismiss a box on the terminal (SIGINT, SIGTERM) wait for the
// next ShowMessage instead of ending the process, which that box then takes as dismissed at
// once; threads started afterwards never take them. Nothing to do where there is no terminal box
// (Windows).
void HoldDismissSignals();

// A box that only informs (the version): on Windows the same box as ShowMessage; on the
// terminal the caption and the text are printed and nothing is waited for.
void ShowNotice(const char* text, const char* caption);

// One line that -install or -remove also writes to the log, text as written there. Linux,
// where these are run from a shell, writes it to standard error; Windows shows nothing, as
// the service's registration reports through the log alone.
void ShowOutcome(const char* text);

}  // namespace plat
