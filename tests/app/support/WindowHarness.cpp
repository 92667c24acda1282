#include "WindowHarness.h"

#include "app/AppPlatform.h"
#include "serial/port/ComPlatform.h"

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QThreadPool>

#include <gtest/gtest.h>

#include <stdexcept>

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
    return Control<TConsoleView>(Form, "MsgR")->Lines();
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

QString AccessibleName(const QWidget *Widget) {
    return QAccessible::queryAccessibleInterface(const_cast<QWidget *>(Widget))->text(QAccessible::Name);
}

QString AccessibleDescription(const QWidget *Widget) {
    return QAccessible::queryAccessibleInterface(const_cast<QWidget *>(Widget))
        ->text(QAccessible::Description);
}

void Click(const TForm1 &Form, const char *Name) {
    QWidget *Widget = Control(Form, Name);
    if (!Widget)
        throw std::invalid_argument(Name);
    // Near the left edge: a check box or radio button takes clicks on its box and caption only.
    QTest::mouseClick(Widget, Qt::LeftButton, {},
                      QPoint(std::min(10, Widget->width() / 2), Widget->height() / 2));
}

int main(int argc, char **argv) {
    // The tests never need a display: keep them offscreen even when started by hand.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    testing::InitGoogleTest(&argc, argv);
    TDudApplication App(argc, argv);
    App.setApplicationName(QStringLiteral("DUD Ovuz"));
    InstallQtPlatform();
    // Qt's global thread pool, which Qt's own painting and image conversions may use, keeps an idle
    // thread (and its event descriptor) for 30 s, so whether one is there at a leak check would be
    // chance. Here a pooled thread ends with its work, and the check's bounded wait sees it go.
    QThreadPool::globalInstance()->setExpiryTimeout(0);
    return RUN_ALL_TESTS();
}
