// Storage and fallbacks for the hooks of PlatformHooks.h.
#include "relay/PlatformHooks.h"

#include <cstdio>
#include <utility>

namespace {

TMessageBoxHook &MessageBoxHook() {
    static TMessageBoxHook Hook;
    return Hook;
}

TBeepHook &BeepHook() {
    static TBeepHook Hook;
    return Hook;
}

} // namespace

TMessageBoxHook SetMessageBoxHook(TMessageBoxHook Hook) {
    return std::exchange(MessageBoxHook(), std::move(Hook));
}

TBeepHook SetBeepHook(TBeepHook Hook) {
    return std::exchange(BeepHook(), std::move(Hook));
}

void PlatformShowMessage(const std::string &Text) {
    if (MessageBoxHook())
        MessageBoxHook()(Text);
    else
        std::fprintf(stderr, "%s\n", Text.c_str());
}

void PlatformBeep() {
    if (BeepHook())
        BeepHook()();
    else
        std::fputc('\a', stderr);
}
