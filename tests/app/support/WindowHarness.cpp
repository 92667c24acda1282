#include "WindowHarness.h"

#include "app/AppPlatform.h"
#include "serial/ComDriver.h"
#include "serial/ComPlatform.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTextEdit>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

TPtyPair::TPtyPair() {
    char Name[256] = {};
    if (openpty(&FMaster, &FNear, Name, nullptr, nullptr) != 0) {
        FMaster = FNear = -1;
        return;
    }
    FNearPath = Name;
    fcntl(FMaster, F_SETFD, FD_CLOEXEC);
    fcntl(FNear, F_SETFD, FD_CLOEXEC);
    fcntl(FMaster, F_SETFL, fcntl(FMaster, F_GETFL) | O_NONBLOCK);
}

TPtyPair::~TPtyPair() {
    if (FNear >= 0)
        close(FNear);
    if (FMaster >= 0)
        close(FMaster);
}

void TPtyPair::Send(std::string_view Bytes) const {
    while (!Bytes.empty()) {
        const ssize_t Done = write(FMaster, Bytes.data(), Bytes.size());
        if (Done < 0 && errno == EINTR)
            continue;
        if (Done < 0)
            throw std::runtime_error("cannot write to the pseudo-terminal");
        Bytes.remove_prefix(static_cast<std::size_t>(Done));
    }
}

std::string TPtyPair::Receive(std::size_t Count, int LimitMs) const {
    std::string Result;
    const auto Deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(LimitMs);
    while (Result.size() < Count) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0)
            break;
        pollfd Wait{FMaster, POLLIN, 0};
        if (poll(&Wait, 1, static_cast<int>(Left.count())) <= 0)
            continue;
        char Chunk[256];
        const ssize_t Got = read(FMaster, Chunk, std::min(sizeof Chunk, Count - Result.size()));
        if (Got > 0)
            Result.append(Chunk, static_cast<std::size_t>(Got));
    }
    return Result;
}

std::string TPtyPair::Pending() const {
    std::string Result;
    char Chunk[256];
    ssize_t Got;
    while ((Got = read(FMaster, Chunk, sizeof Chunk)) > 0)
        Result.append(Chunk, static_cast<std::size_t>(Got));
    return Result;
}

bool DriverOpensDevices(const std::string &Path) {
    TComDriver &Driver = DefaultComDriver();
    const HANDLE Handle = Driver.CreateFile(Path);
    if (Handle == INVALID_HANDLE_VALUE)
        return GetLastError() != ENOSYS;
    Driver.CloseHandle(Handle);
    return true;
}

TFakeSetupDialog::TFakeSetupDialog(std::string PortName) : FPortName(std::move(PortName)) {
    SetSetupDialogHook([this](TCustomComPort &Port) {
        ++FRuns;
        Port.SetPort(FPortName);
        return true;
    });
}

TFakeSetupDialog::~TFakeSetupDialog() {
    SetSetupDialogHook(nullptr);
}

QStringList ConsoleLines(const TForm1 &Form) {
    QStringList Lines = Control<QTextEdit>(Form, "MsgR")->toPlainText().split(QChar(u'\n'));
    if (!Lines.isEmpty() && Lines.back().isEmpty())
        Lines.removeLast();
    return Lines;
}

QString TopLine(const TForm1 &Form) {
    const QStringList Lines = ConsoleLines(Form);
    return Lines.isEmpty() ? QString() : Lines.front();
}

QColor LampColour(const TForm1 &Form, const char *Lamp) {
    const QWidget *Shape = Control(Form, Lamp);
    const QImage Picture = const_cast<TForm1 &>(Form).grab().toImage();
    return Picture.pixelColor(Shape->mapTo(&Form, Shape->rect().center()));
}

void Click(const TForm1 &Form, const char *Name) {
    QWidget *Widget = Control(Form, Name);
    if (!Widget)
        throw std::invalid_argument(Name);
    // Near the left edge: a check box or radio button takes clicks on its box and caption only.
    QTest::mouseClick(Widget, Qt::LeftButton, {},
                      QPoint(std::min(10, Widget->width() / 2), Widget->height() / 2));
}

namespace {
int CountEntries(const char *Directory) {
    int Count = 0;
    if (DIR *Dir = opendir(Directory)) {
        while (const dirent *Entry = readdir(Dir))
            Count += Entry->d_name[0] != '.';
        closedir(Dir);
    }
    return Count;
}
} // namespace

int OpenDescriptors() {
    return CountEntries("/proc/self/fd");
}
int Threads() {
    return CountEntries("/proc/self/task");
}

int main(int argc, char **argv) {
    // The tests never need a display: keep them offscreen even when started by hand.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    TDudApplication App(argc, argv);
    App.setApplicationName(QStringLiteral("DUD Ovuz"));
    InstallQtPlatform();
    return RUN_ALL_TESTS();
}
