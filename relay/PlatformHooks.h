// The two things the relay logic asks of the desktop besides its console: a message box (for
// when the console itself cannot be written) and the default beep (an input raised the alarm).
//
// The Qt layer installs both at start-up; tests install recorders. Until something is installed,
// the message goes to standard error and the beep is the terminal bell there.
//
// Thread safety: install hooks before the controller is used, and call them from the main thread
// only, like everything else in the relay logic.
#pragma once

#include <functional>
#include <string>

using TMessageBoxHook = std::function<void(const std::string &Text)>;
using TBeepHook = std::function<void()>;

// Each setter returns the hook it replaces, so a caller can put it back. An empty hook restores
// the fallback.
TMessageBoxHook SetMessageBoxHook(TMessageBoxHook Hook);
TBeepHook SetBeepHook(TBeepHook Hook);

// Shows a modal message (UTF-8) and returns when the operator has seen it.
void PlatformShowMessage(const std::string &Text);
// Plays the desktop's default beep once.
void PlatformBeep();
