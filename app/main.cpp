// Start-up of the panel. The order matters: texts must be translatable before anything builds a
// text, the serial layer's hooks must be in place before any port opens, and the translation
// service goes last because the window's destruction (which closes the port) may still look up a
// translated error message. The port settings that the setup dialog remembered are loaded before the
// window shows.
#include "AppPlatform.h"
#include "ComMainForm.h"

#include "i18n/gnugettext.h"
#include "i18n/qt/ResourceTextTranslator.h"
#include "relay/PanelSettings.h"
#include "serial/port/ComError.h"
#include "serial/setup/CPortSetup.h"

#include <exception>

int main(int argc, char *argv[]) {
    TGnuGettextSession Gettext;
    TDudApplication App(argc, argv);
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
        Window.UseSettingsFile(PanelSettingsPath());
        Window.show();
        ExitCode = App.exec();
    }
    return ExitCode;
}
