// What the setup dialog's tests share: an offscreen application, a fake sysfs tree for the port
// list, a port on the scriptable driver, a recorder for the application's error display, catalogue
// files built by msgfmt, and the operator's hand on the dialog.
#pragma once

#include "serial/port/ComPort.h"
#include "serial/setup/CPortCtl.h"
#include "serial/setup/CPortSetup.h"
#include "serial/testing/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <filesystem>
#include <string>
#include <vector>

#include <ostream>

// Readable failure output for Qt's texts.
inline void PrintTo(const QString &Text, std::ostream *Out) {
    *Out << '"' << Text.toStdString() << '"';
}
inline void PrintTo(const QStringList &List, std::ostream *Out) {
    *Out << '{';
    for (const QString &Text : List)
        *Out << ' ' << '"' << Text.toStdString() << '"';
    *Out << " }";
}

namespace setuptest {

// A temporary directory laid out as the kernel lays out /sys/class/tty: each added port has a
// device whose driver link names a USB serial driver. Points the port list at itself while alive.
class TFakeSysfs {
public:
    TFakeSysfs();
    ~TFakeSysfs();
    TFakeSysfs(const TFakeSysfs &) = delete;
    TFakeSysfs &operator=(const TFakeSysfs &) = delete;

    void AddPort(const std::string &Name);
    // No class/tty at all: the port list cannot be read.
    void Break();
    const std::filesystem::path &Root() const { return FRoot; }

private:
    std::filesystem::path FRoot;
};

// Gathers what reaches the application's error display while alive.
class TErrorRecorder {
public:
    TErrorRecorder();
    ~TErrorRecorder();
    TErrorRecorder(const TErrorRecorder &) = delete;
    TErrorRecorder &operator=(const TErrorRecorder &) = delete;

    std::vector<std::string> Messages;
};

// A directory holding locale/<Language>/LC_MESSAGES/<Domain>.mo files; removed with its content.
class TCatalogueDir {
public:
    TCatalogueDir();
    ~TCatalogueDir();
    TCatalogueDir(const TCatalogueDir &) = delete;
    TCatalogueDir &operator=(const TCatalogueDir &) = delete;

    // Compiles (msgid, msgstr) pairs with msgfmt; false when msgfmt is missing or refuses.
    bool Compile(const std::string &Language, const std::string &Domain,
                 const std::vector<std::pair<std::string, std::string>> &Entries);
    // Puts bytes that are no catalogue where the catalogue belongs.
    void WriteBroken(const std::string &Language, const std::string &Domain);
    std::string Path() const { return FRoot.string(); }

private:
    std::filesystem::path File(const std::string &Language, const std::string &Domain) const;
    std::filesystem::path FRoot;
};

// The directory of the running test executable (where the build puts locale/).
std::string ExecutableDirectory();

// The operator picks the entry with this text, as a click in the drop-down list does.
void Pick(TComComboBox &Box, const QString &Text);
QStringList Entries(const TComComboBox &Box);

// A port on the scriptable driver with no events, so no event thread runs in these tests.
class TSetupTest : public ::testing::Test {
protected:
    TSetupTest();

    TFakeSysfs Sysfs;
    ComApi::TScriptComDriver Driver;
    TComPort Port{Driver};
};

} // namespace setuptest
