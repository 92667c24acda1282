// Start-up of the panel. The order matters: texts must be translatable before anything builds a
// text, the serial layer's hooks must be in place before any port opens, and the translation
// service goes last because the window's destruction (which closes the port) may still look up a
// translated error message. The port settings that the setup dialog remembered are loaded before the
// window shows. --help and --version are answered before Qt starts, so they need no display; a
// bad use is told once Qt has taken its own options out of the command line (or at once where Qt
// could not start).
#include "AppPlatform.h"
#include "ComMainForm.h"
#include "PanelOptions.h"

#include "i18n/SystemText.h"
#include "i18n/gnugettext.h"
#include "i18n/qt/ResourceTextTranslator.h"
#include "relay/PanelSettings.h"
#include "serial/port/ComError.h"
#include "serial/setup/CPortSetup.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Arguments(int argc, char *argv[]) {
    return {argv + std::min(argc, 1), argv + argc};
}

// Prints what the options say instead of starting; true when they do.
bool Answered(const TPanelOptions &Options) {
    if (Options.Action == TPanelOptions::paRun)
        return false;
    std::fputs(Options.Text.c_str(), Options.Action == TPanelOptions::paPrint ? stdout : stderr);
    return true;
}

// Whether Qt can start at all: without a display it aborts before our own options are read, and a
// bad option had better say so than have Qt complain about the display.
bool QtCanStart(const std::vector<std::string> &Arguments) {
    for (const char *Variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
        if (const char *Value = std::getenv(Variable); Value && *Value)
            return true;
    return std::ranges::any_of(Arguments,
                               [](const std::string &A) { return A == "-platform" || A == "--platform"; });
}

} // namespace

int main(int argc, char *argv[]) {
    if (const TPanelOptions Early = ParsePanelOptions(Arguments(argc, argv));
        Early.Action == TPanelOptions::paPrint ||
        (Early.Action == TPanelOptions::paRefuse && !QtCanStart(Arguments(argc, argv)))) {
        Answered(Early);
        return Early.ExitCode;
    }
    TGnuGettextSession Gettext;
    BindSystemCatalogues();
    TDudApplication App(argc, argv);
    const TPanelOptions Options = ParsePanelOptions(Arguments(argc, argv));
    if (Answered(Options))
        return Options.ExitCode;
    TResourceTextRouting Routing;
    QObject::connect(&Routing.Translator(), &TResourceTextTranslator::ErrorReported, &ShowApplicationError);
    // An unusable catalogue stops the start: say why in a message box rather than abort silently.
    try {
        LoadPortErrorMessages();
    } catch (const std::exception &Error) {
        ShowApplicationError(QString::fromUtf8(Error.what()));
        return 1;
    }
    InstallQtPlatform();
    RegisterPortSetupDialog();
    App.setApplicationName(QStringLiteral("DUD Ovuz"));
    int ExitCode = 0;
    {
        TForm1 Window;
        // The remembered port is in place before the operator sees the window.
        Window.UseSettingsFile(Options.Settings.value_or(PanelSettingsPath()));
        if (Options.Port)
            Window.UsePort(*Options.Port);
        Window.show();
        ExitCode = App.exec();
    }
    return ExitCode;
}
