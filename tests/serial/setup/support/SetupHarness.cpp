#include "SetupHarness.h"

#include "serial/port/ComPlatform.h"

#include <QApplication>

#include <cstdlib>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace setuptest {

namespace {

fs::path MakeTempDir(const char *Prefix) {
    std::string Template = (fs::temp_directory_path() / (std::string(Prefix) + "-XXXXXX")).string();
    if (!::mkdtemp(Template.data()))
        throw std::runtime_error("cannot create a temporary directory");
    return Template;
}

// PO string syntax: quotes, backslashes and line breaks escaped.
std::string Quoted(const std::string &Text) {
    std::string Result = "\"";
    for (char C : Text) {
        if (C == '"' || C == '\\')
            Result += '\\';
        if (C == '\n') {
            Result += "\\n";
            continue;
        }
        Result += C;
    }
    return Result + "\"";
}

} // namespace

TFakeSysfs::TFakeSysfs() : FRoot(MakeTempDir("setup-sysfs")) {
    fs::create_directories(FRoot / "class" / "tty");
    SetComPortSysfsRoot(FRoot);
    SetComPortDeviceRoot(FRoot / "dev"); // none of the machine's own adapters
}

TFakeSysfs::~TFakeSysfs() {
    SetComPortSysfsRoot("/sys");
    SetComPortDeviceRoot("/dev");
    std::error_code Ignored;
    fs::remove_all(FRoot, Ignored);
}

void TFakeSysfs::AddPort(const std::string &Name) {
    const fs::path Device = FRoot / "devices" / ("usb-" + Name);
    const fs::path Driver = FRoot / "bus" / "usb-serial" / "drivers" / "ftdi_sio";
    fs::create_directories(Device);
    fs::create_directories(Driver);
    fs::create_directory_symlink(Driver, Device / "driver");
    fs::create_directories(FRoot / "class" / "tty" / Name);
    fs::create_directory_symlink(Device, FRoot / "class" / "tty" / Name / "device");
}

void TFakeSysfs::Break() {
    fs::remove_all(FRoot / "class");
}

TErrorRecorder::TErrorRecorder() {
    SetErrorReportHook([this](const std::exception &Error) { Messages.emplace_back(Error.what()); });
}

TErrorRecorder::~TErrorRecorder() {
    SetErrorReportHook({});
}

TCatalogueDir::TCatalogueDir() : FRoot(MakeTempDir("setup-locale")) {}

TCatalogueDir::~TCatalogueDir() {
    std::error_code Ignored;
    fs::remove_all(FRoot, Ignored);
}

fs::path TCatalogueDir::File(const std::string &Language, const std::string &Domain) const {
    return FRoot / "locale" / Language / "LC_MESSAGES" / (Domain + ".mo");
}

bool TCatalogueDir::Compile(const std::string &Language, const std::string &Domain,
                            const std::vector<std::pair<std::string, std::string>> &Entries) {
    const fs::path Mo = File(Language, Domain);
    fs::create_directories(Mo.parent_path());
    const fs::path Po = FRoot / (Language + "-" + Domain + ".po");
    {
        std::ofstream Out(Po);
        Out << "msgid \"\"\nmsgstr \"Content-Type: text/plain; charset=UTF-8\\n\"\n";
        for (const auto &[Id, Str] : Entries)
            Out << "\nmsgid " << Quoted(Id) << "\nmsgstr " << Quoted(Str) << "\n";
    }
    const std::string Command = "msgfmt -o '" + Mo.string() + "' '" + Po.string() + "' 2>/dev/null";
    return std::system(Command.c_str()) == 0 && fs::exists(Mo);
}

void TCatalogueDir::WriteBroken(const std::string &Language, const std::string &Domain) {
    const fs::path Mo = File(Language, Domain);
    fs::create_directories(Mo.parent_path());
    std::ofstream(Mo) << "no catalogue here, but long enough to be taken for one at first";
}

std::string ExecutableDirectory() {
    return fs::read_symlink("/proc/self/exe").parent_path().string();
}

void Pick(TComComboBox &Box, const QString &Text) {
    const int Index = Box.findText(Text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    ASSERT_GE(Index, 0) << Text.toStdString() << " is not listed in " << Box.objectName().toStdString();
    Box.setCurrentIndex(Index);
    emit Box.activated(Index);
}

QStringList Entries(const TComComboBox &Box) {
    QStringList Result;
    for (int I = 0; I < Box.count(); ++I)
        Result << Box.itemText(I);
    return Result;
}

TSetupTest::TSetupTest() {
    Port.SetEvents({});
}

} // namespace setuptest

int main(int argc, char **argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen"); // never a real display, however the test is started
    ::unsetenv("EXTRA_SERIAL_PORTS");
    QApplication App(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
