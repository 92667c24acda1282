#include "serial/setup/CPortSetup.h"

#include "i18n/gnugettext_objects.h"
#include "i18n/qt/QtReflection.h"
#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"
#include "serial/setup/CPortCtl.h"
#include "ui_CPortSetup.h"

#include <QKeyEvent>
#include <QScreen>
#include <QStyle>
#include <QTimer>

#include <exception>

TComSetupFrm::TComSetupFrm(QWidget *Parent) : QDialog(Parent), ui(std::make_unique<Ui::TComSetupFrm>()) {
    ui->setupUi(this);
    Button1 = ui->Button1;
    Button2 = ui->Button2;
    GroupBox1 = ui->GroupBox1;
    Label1 = ui->Label1;
    Label2 = ui->Label2;
    Label3 = ui->Label3;
    Label4 = ui->Label4;
    Label5 = ui->Label5;
    Label6 = ui->Label6;
    Combo1 = ui->Combo1;
    Combo2 = ui->Combo2;
    Combo3 = ui->Combo3;
    Combo4 = ui->Combo4;
    Combo5 = ui->Combo5;
    Combo6 = ui->Combo6;

    // A fixed dialog border: title and close button only, no resizing, no minimise or maximise.
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);
    setFixedSize(231, 216);
    connect(Button1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Button2, &QPushButton::clicked, this, &QDialog::reject);

    FormCreate(this);
}

TComSetupFrm::~TComSetupFrm() = default;

void TComSetupFrm::FormCreate(QObject *Sender) {
    (void)Sender;
    // The lists hold the settings' fixed text forms, which must read back as settings.
    for (const char *Name : {"Combo1", "Combo2", "Combo3", "Combo4", "Combo5", "Combo6"})
        TP_Ignore(this, Name);
    try {
        TranslateObjectTree(this, "cport");
    } catch (...) {
        ReportApplicationError();
    }
    for (QLabel *Label : {Label1, Label2, Label3, Label4, Label5, Label6})
        Label->adjustSize();
}

void TComSetupFrm::keyPressEvent(QKeyEvent *Event) {
    if (Event->matches(QKeySequence::Cancel)) {
        Event->accept();
        return;
    }
    QDialog::keyPressEvent(Event);
}

void TComSetupFrm::showEvent(QShowEvent *Event) {
    if (const QScreen *Screen = screen())
        setGeometry(
            QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), Screen->availableGeometry()));
    QDialog::showEvent(Event);
}

namespace {

// Writes the six values inside one settings update, which ends whatever happens: a port left
// inside an update would never apply a setting again.
void ApplyAll(TComSetupFrm &Form, TCustomComPort &ComPort) {
    ComPort.BeginSettingsUpdate();
    try {
        for (TComComboBox *Box : Form.Boxes())
            Box->ApplyToPort();
    } catch (...) {
        // The first error is the one the caller must see; one from applying what was written
        // before it would only hide it.
        try {
            ComPort.EndSettingsUpdate();
        } catch (...) {
        }
        throw;
    }
    ComPort.EndSettingsUpdate();
}

} // namespace

bool ExecutePortSetup(TCustomComPort &ComPort, const TSetupDialogShown &OnShown) {
    auto Form = std::make_unique<TComSetupFrm>();
    for (TComComboBox *Box : Form->Boxes())
        Box->SetComPort(&ComPort);

    std::exception_ptr ShownError;
    if (OnShown) {
        // Queued now, run by the modal loop once it is running.
        QTimer::singleShot(0, Form.get(), [&] {
            try {
                OnShown(*Form);
            } catch (...) {
                ShownError = std::current_exception();
                Form->reject();
            }
        });
    }
    const int Result = Form->exec();
    if (ShownError)
        std::rethrow_exception(ShownError);
    if (Result != QDialog::Accepted)
        return false;
    ApplyAll(*Form, ComPort);
    return true;
}

void EditPortSettings(TCustomComPort &ComPort, const TSetupDialogShown &OnShown) {
    ExecutePortSetup(ComPort, OnShown);
}

void RegisterPortSetupDialog() {
    SetSetupDialogHook([](TCustomComPort &ComPort) { return ExecutePortSetup(ComPort); });
}
