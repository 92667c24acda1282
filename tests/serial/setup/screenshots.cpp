// Saves pictures of the setup dialog for the documentation, in English and in Czech:
//     serial_setup_screenshots <output directory>
// writes setup-dialog.png and setup-dialog-cs.png there. The port list is a fixed fake one, so the
// pictures do not depend on the machine they are taken on.
#include "i18n/gnugettext.h"
#include "serial/port/ComPort.h"
#include "serial/setup/CPortCtl.h"
#include "serial/setup/CPortSetup.h"

#include <QApplication>
#include <QPixmap>

#include <cstdio>
#include <filesystem>
#include <stdlib.h>

namespace fs = std::filesystem;

namespace {

void AddPort(const fs::path &Root, const std::string &Name) {
    const fs::path Device = Root / "devices" / Name;
    fs::create_directories(Device);
    fs::create_directories(Root / "drivers" / "usb-serial");
    fs::create_directory_symlink(Root / "drivers" / "usb-serial", Device / "driver");
    fs::create_directories(Root / "class" / "tty" / Name);
    fs::create_directory_symlink(Device, Root / "class" / "tty" / Name / "device");
}

bool Save(TComPort &Port, const fs::path &File) {
    bool Saved = false;
    EditPortSettings(Port, [&](TComSetupFrm &Form) {
        Saved = Form.grab().save(QString::fromStdString(File.string()));
        Form.close();
    });
    std::printf("%s %s\n", Saved ? "wrote" : "could not write", File.c_str());
    return Saved;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    ::unsetenv("EXTRA_SERIAL_PORTS");
    QApplication App(argc, argv);
    const fs::path Out = argv[1];

    std::string Template = (fs::temp_directory_path() / "setup-shots-XXXXXX").string();
    if (!::mkdtemp(Template.data()))
        return 1;
    const fs::path Root = Template;
    for (const char *Name : {"ttyUSB0", "ttyACM0"})
        AddPort(Root, Name);
    SetComPortSysfsRoot(Root);
    SetComPortDeviceRoot(Root / "dev"); // the pictures show none of the machine's own adapters

    TComPort Port;
    Port.SetPort("ttyUSB0");
    Port.SetBaudRate(br4800);
    bool Ok = Save(Port, Out / "setup-dialog.png");
    {
        const std::string Directory = fs::read_symlink("/proc/self/exe").parent_path().string();
        TGnuGettextSession Gettext(Directory, "cs");
        Ok = Save(Port, Out / "setup-dialog-cs.png") && Ok;
    }
    fs::remove_all(Root);
    return Ok ? 0 : 1;
}
