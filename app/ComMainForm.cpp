#include "ComMainForm.h"
#include "ui_ComMainForm.h"

#include "AppPlatform.h"
#include "LampShape.h"
#include "PortKeeperQt.h"
#include "relay/CodePage1250.h"
#include "relay/PanelSettings.h"
#include "relay/PortHistory.h"
#include "relay/PortKeeper.h"
#include "serial/port/ComPlatform.h"
#include "serial/setup/CPortCtl.h"

#include <QApplication>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include <algorithm>
#include <optional>
#include <utility>

const char *const MainWindowTitle = "DUD Ovuz Kontroler - podpora: tým reléového panelu";

TRele *Rele = nullptr;
TAnswerGatherer RxBuffer;
TForm1 *Form1 = nullptr;

namespace {

const QColor White(255, 255, 255);
const QColor Red(255, 0, 0);
const QColor Green(0, 128, 0);
const QColor Yellow(255, 255, 0);
const QColor Magenta(255, 0, 255);

const char *const ComOpenedLine = "COM > Port úspěšně otevřen.";
const char *const ComPortNameLine = "COM > Otevřený port: %1";
const char *const ComClosedLine = "COM > Port byl ručně zavřen.";
const char *const ComErrorLine = "COM > Chyba v komunikaci na COM portu.";
const char *const SettingsUnreadableLine = "COM > Uložené nastavení portu nelze přečíst (%1).";
const char *const SettingsMalformedLine = "COM > Uložené nastavení portu je chybné (%1), nepoužije se.";
const char *const SettingsNotSavedLine = "COM > Nastavení portu nelze uložit (%1).";
// "&" marks the mnemonic letter: Alt and that letter press the button.
const char *const OpenCaption = "&Otevřít port";
const char *const CloseCaption = "&Zavři port";

// Where the form first puts the window; Qt's form compiler keeps only its size.
const QPoint FormPosition(191, 107);

// What a lamp means, for its accessible name ("Relé 1: zapnuto") and description. %1 stands for
// the number of a relay or an input.
struct TLampMeaning {
    const char *What;
    const char *LitState, *UnlitState;
    const char *LitNote, *UnlitNote;
};

const TLampMeaning RelayMeaning{"Relé %1", "zapnuto", "vypnuto",
                                "Relé %1 je zapnuto, kontrolka svítí červeně.", "Relé %1 je vypnuto."};
const TLampMeaning InputMeaning{"Vstup %1", "aktivní", "neaktivní",
                                "Vstup %1 je aktivní, kontrolka svítí červeně.", "Vstup %1 není aktivní."};
const TLampMeaning ArmedMeaning{"Alarm ON", "svítí", "nesvítí",
                                "Alarm je aktivní, kontrolka ON svítí zeleně.", "Kontrolka ON nesvítí."};
const TLampMeaning DisarmedMeaning{"Alarm OFF", "svítí", "nesvítí",
                                   "Alarm je neaktivní, kontrolka OFF svítí žlutě.",
                                   "Kontrolka OFF nesvítí."};
const TLampMeaning TriggerMeaning{"Poplach", "aktivován", "neaktivován",
                                  "Poplach je aktivován, kontrolka svítí fialově.",
                                  "Poplach není aktivován."};

void ShowLamp(TLampShape *Lamp, bool Lit, const QColor &LitColour, const TLampMeaning &Meaning,
              int Number = 0) {
    const auto Text = [Number](const char *Utf8) {
        const QString Plain = QString::fromUtf8(Utf8);
        return Number > 0 ? Plain.arg(Number) : Plain;
    };
    Lamp->SetColor(Lit ? LitColour : White);
    Lamp->setAccessibleName(Text(Meaning.What) + QStringLiteral(": ") +
                            QString::fromUtf8(Lit ? Meaning.LitState : Meaning.UnlitState));
    Lamp->setAccessibleDescription(Text(Lit ? Meaning.LitNote : Meaning.UnlitNote));
}

// The fonts the form was drawn with are Windows fonts; where they are missing, Qt takes the
// nearest family we name here instead of its own default.
void SubstituteWindowsFonts() {
    // The condensed face keeps the captions within the widths the form gives them.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans Narrow"),
                                QStringLiteral("DejaVu Sans Condensed"), QStringLiteral("Liberation Sans"),
                                QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Courier New"),
                               {QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono")});
}

} // namespace

TForm1::TForm1(QWidget *Parent) : QWidget(Parent), ui(std::make_unique<Ui::TForm1>()) {
    SubstituteWindowsFonts();
    ui->setupUi(this);
    setWindowTitle(QString::fromUtf8(MainWindowTitle));
    KeepFormGeometry();
    if (const QScreen *Screen = screen())
        if (const std::optional<QPoint> Position = FirstPosition(size(), Screen->availableGeometry()))
            move(*Position);
    ApplyFonts();
    ApplyFixedColours();
    ShowLamps(nullptr);
    AskForAttention = [](QWidget *Window) { QApplication::alert(Window); };
    FComPort = std::make_unique<TComPort>();
    LoadComPort();
    FConsole = std::make_unique<TConsoleBox>(ui->MsgR);
    // Before the first console line, so that every line has its time.
    FSessionLog = std::make_unique<TSessionLog>(ui->MsgR, this);
    ConnectHandlers();
    FormCreate(this);
    FKeeper = std::make_unique<TPortKeeper>(*FRele, *FComPort);
    FKeeperDriver = std::make_unique<TPortKeeperQt>(*FKeeper, nullptr);
    Form1 = this;
}

TForm1::~TForm1() {
    FDestroying = true;
    // Close the port while the window, its controller and its console are whole: a delivery that
    // was already handed to this thread still runs during the close and reaches all three.
    try {
        FComPort->ClosePort();
    } catch (...) {
        ReportApplicationError();
    }
    // The port's handlers reach the keeper until the port is gone; the keeper touches the port
    // only from its entry points, which its driver no longer calls.
    FKeeperDriver.reset();
    FComPort.reset();
    FKeeper.reset();
    if (Rele == FRele.get())
        Rele = nullptr;
    FRele.reset();
    if (Form1 == this)
        Form1 = nullptr;
}

void TForm1::ApplyFonts() {
    // Pixel sizes, as the form was drawn: a .ui file can only give point sizes.
    QFont Window = font();
    Window.setPixelSize(11);
    setFont(Window);

    QFont Console = ui->MsgR->font();
    Console.setPixelSize(13);
    Console.setBold(true);
    Console.setStyleHint(QFont::TypeWriter);
    ui->MsgR->setFont(Console);

    QFont Alarm = ui->Label15->font();
    Alarm.setPixelSize(21);
    ui->Label15->setFont(Alarm);
    QPalette AlarmColours = ui->Label15->palette();
    AlarmColours.setColor(QPalette::Window, QColor(128, 128, 128));
    AlarmColours.setColor(QPalette::WindowText, White);
    ui->Label15->setPalette(AlarmColours);

    QPalette OpenColours = ui->Button_Open->palette();
    OpenColours.setColor(QPalette::Active, QPalette::ButtonText, QColor(0, 0, 255));
    OpenColours.setColor(QPalette::Inactive, QPalette::ButtonText, QColor(0, 0, 255));
    ui->Button_Open->setPalette(OpenColours);

    // Labels size themselves to their text, as the form's labels did.
    for (QLabel *Label : findChildren<QLabel *>())
        Label->adjustSize();
}

void TForm1::ApplyFixedColours() {
    // The console's line colours and the lamps' black outlines are meant for white: keep it under
    // any desktop theme. Plain lines take the console's text colour, so that is fixed too.
    QPalette Console = ui->MsgR->palette();
    for (const auto Group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        Console.setColor(Group, QPalette::Base, White);
        Console.setColor(Group, QPalette::Text, Qt::black);
    }
    ui->MsgR->setPalette(Console);
    for (TLampShape *Lamp : findChildren<TLampShape *>()) {
        QPalette Behind = Lamp->palette();
        Behind.setColor(QPalette::Window, White);
        Lamp->setPalette(Behind);
        Lamp->setAutoFillBackground(true);
    }
}

void TForm1::LoadComPort() {
    TComPort &Port = *FComPort;
    Port.BeginLoading();
    ApplyPanelPortDefaults(Port);
    Port.SetPort("COM1");
    Port.SetEvents(
        {evRxChar, evTxEmpty, evRxFlag, evRing, evBreak, evCTS, evDSR, evError, evRLSD, evRx80Full});
    Port.SetOnAfterOpen([this](TCustomComPort &Sender) { ComPortOpen(Sender); });
    Port.SetOnAfterClose([this](TCustomComPort &Sender) { ComPortClose(Sender); });
    // The keeper must know when a port handler runs: it never closes the port from inside one.
    Port.SetOnRxChar([this](TCustomComPort &Sender, std::int32_t Count) {
        const TPortKeeper::TPortEvent Scope(*FKeeper);
        ComPortRxChar(Sender, Count);
    });
    Port.SetOnError([this](TCustomComPort &Sender, TComErrors Errors) {
        const TPortKeeper::TPortEvent Scope(*FKeeper);
        ComPortError(Sender, Errors);
    });
    Port.AfterPropertiesLoaded();
}

void TForm1::ConnectHandlers() {
    // Each operator action runs guarded: an error that leaves a handler reaches the application's
    // error display and the window goes on.
    auto OnClick = [this](QAbstractButton *Button, void (TForm1::*Handler)(QObject *)) {
        connect(Button, &QAbstractButton::clicked, this,
                [this, Button, Handler] { RunGuarded([&] { RedrawOnError(Handler, Button); }); });
    };
    OnClick(ui->Button_Settings, &TForm1::Button_SettingsClick);
    OnClick(ui->Button_Open, &TForm1::Button_OpenClick);
    OnClick(ui->Button4, &TForm1::Button4Click);
    OnClick(ui->Button1, &TForm1::Button1Click);
    OnClick(ui->Button2, &TForm1::Button2Click);
    OnClick(ui->Button_Send, &TForm1::Button_SendClick);
    // Check boxes act on every change of their tick; radio buttons only when they become chosen,
    // so choosing the already chosen one sends nothing.
    auto OnToggle = [this](QAbstractButton *Button, void (TForm1::*Handler)(QObject *), bool OnlyWhenChosen) {
        connect(Button, &QAbstractButton::toggled, this,
                [this, Button, Handler, OnlyWhenChosen](bool Checked) {
                    if (Checked || !OnlyWhenChosen)
                        RunGuarded([&] { RedrawOnError(Handler, Button); });
                });
    };
    OnToggle(ui->chb1, &TForm1::chb1Click, false);
    OnToggle(ui->chb2, &TForm1::chb2Click, false);
    OnToggle(ui->alac, &TForm1::alacClick, true);
    OnToggle(ui->alad, &TForm1::aladClick, true);
    connect(ui->MsgR, &TConsoleView::Changed, this, [this] { RunGuarded([this] { MsgRChange(ui->MsgR); }); });
}

void TForm1::RedrawOnError(void (TForm1::*Handler)(QObject *), QObject *Sender) {
    // A command whose write failed has had its relay states taken back, after its console line
    // lit the lamps: redraw before the error is shown, so no lamp claims what never went out.
    try {
        (this->*Handler)(Sender);
    } catch (...) {
        UpdateDiods();
        throw;
    }
}

void TForm1::AfterHandler(QObject *Sender) {
    if (Sender)
        UpdateDiods();
}

void TForm1::FormCreate(QObject *) {
    FRele = std::make_unique<TRele>(FConsole.get(), FComPort.get());
    Rele = FRele.get();
}

void TForm1::Button_SettingsClick(QObject *) {
    const std::string Before = FComPort->Port();
    SetOfferedComPorts(OfferedPorts(FRunPort, FSettingsFile));
    const bool Accepted = FRele->ShowPortSetup();
    // Reached only when the dialog raised nothing, whether the operator accepted or cancelled.
    ui->Button_Open->setEnabled(true);
    if (FComPort->Port() != Before)
        FKeeper->Stop();
    if (Accepted)
        SaveSettings();
}

void TForm1::UseSettingsFile(std::filesystem::path File) {
    FSettingsFile = std::move(File);
    if (FSettingsFile.empty())
        return;
    const TSettingsLoad Load = LoadPortSettings(*FComPort, FSettingsFile);
    const QString Detail = QString::fromStdString(Load.Detail);
    if (Load.Outcome == soUnreadable)
        FConsole->InsertPlainLine(QString::fromUtf8(SettingsUnreadableLine).arg(Detail));
    else if (Load.Outcome == soMalformed)
        FConsole->InsertPlainLine(QString::fromUtf8(SettingsMalformedLine).arg(Detail));
    if (Load.PortNamed)
        ui->Button_Open->setEnabled(true);
}

void TForm1::UsePort(const std::string &Name) {
    FRunPort = Name;
    FComPort->SetPort(Name);
    ui->Button_Open->setEnabled(true);
}

void TForm1::SaveSettings() {
    if (FSettingsFile.empty())
        return;
    if (const std::string Problem = SavePortSettings(*FComPort, FSettingsFile); !Problem.empty())
        FConsole->InsertPlainLine(
            QString::fromUtf8(SettingsNotSavedLine).arg(QString::fromStdString(Problem)));
}

void TForm1::Button_OpenClick(QObject *) {
    if (FComPort->Connected()) {
        FKeeper->Stop();
        FComPort->ClosePort();
        FConsole->InsertPlainLine(QString::fromUtf8(ComClosedLine));
    } else
        FRele->OpenComPort(FComPort->Port());
}

std::string TForm1::RelayCommand() const {
    std::string Cmd = "R" + ui->cmde2->currentText().toStdString() + "=";
    if (ui->checkb1->isChecked())
        Cmd += std::to_string(DurationValue()) + ",";
    Cmd += std::to_string(StateIndex()) + "s";
    return Utf8ToCp1250(Cmd);
}

int TForm1::StateIndex() const {
    // The index of the item that the box's text names, -1 for a text that names none.
    return ui->cmde1->findText(ui->cmde1->currentText(), Qt::MatchExactly | Qt::MatchCaseSensitive);
}

int TForm1::DurationValue() const {
    // The box corrects its value when it loses the focus; read the text itself and correct it
    // the same way, so that a click that does not take the focus away sends a valid value too.
    bool IsNumber = false;
    const int Value = ui->cmde3->cleanText().toInt(&IsNumber);
    if (!IsNumber)
        return ui->cmde3->minimum();
    return std::clamp(Value, ui->cmde3->minimum(), ui->cmde3->maximum());
}

void TForm1::Button4Click(QObject *Sender) {
    FRele->SendCmd(RelayCommand());
    AfterHandler(Sender);
}

void TForm1::chb1Click(QObject *Sender) {
    FRele->SetRespondMode(ui->chb1->isChecked());
    AfterHandler(Sender);
}

void TForm1::chb2Click(QObject *Sender) {
    FRele->SetResetMode(ui->chb2->isChecked());
    AfterHandler(Sender);
}

void TForm1::Button1Click(QObject *Sender) {
    FRele->SendCmd("?");
    AfterHandler(Sender);
}

void TForm1::Button2Click(QObject *Sender) {
    FRele->SendCmd("!");
    AfterHandler(Sender);
}

void TForm1::alacClick(QObject *Sender) {
    FRele->AlarmOn();
    AfterHandler(Sender);
}

void TForm1::aladClick(QObject *Sender) {
    FRele->AlarmOff();
    AfterHandler(Sender);
}

void TForm1::Button_SendClick(QObject *Sender) {
    FRele->SendCmd(Utf8ToCp1250(ui->Edit_Data->text().toStdString()));
    AfterHandler(Sender);
}

void TForm1::MsgRChange(QObject *) {
    if (FRele)
        UpdateDiods();
}

void TForm1::ComPortOpen(TCustomComPort &Sender) {
    if (FKeeper)
        FKeeper->Stop(); // a reopen of the keeper's own says so once this has run
    ui->Button_Open->setText(QString::fromUtf8(CloseCaption));
    FConsole->InsertPlainLine(QString::fromUtf8(ComOpenedLine));
    FConsole->InsertPlainLine(QString::fromUtf8(ComPortNameLine).arg(QString::fromStdString(Sender.Port())));
    ui->CtrlGB->setEnabled(true);
    ShowTitle();
    if (const std::string Problem = RememberOpenedPort(FComPort->Port(), FSettingsFile); !Problem.empty())
        FConsole->InsertPlainLine(
            QString::fromUtf8(SettingsNotSavedLine).arg(QString::fromStdString(Problem)));
}

void TForm1::ComPortClose(TCustomComPort &) {
    // The port also closes while the window is being destroyed; its controls are then off limits.
    if (FDestroying)
        return;
    ui->Button_Open->setText(QString::fromUtf8(OpenCaption));
    ui->CtrlGB->setEnabled(false);
    ShowTitle();
}

void TForm1::ShowTitle() {
    QString Title = QString::fromUtf8(MainWindowTitle);
    if (FComPort->Connected())
        Title += QStringLiteral(" — ") + QString::fromStdString(FComPort->Port());
    FSessionLog->SetPlainTitle(Title);
}

bool TForm1::WatchingForDevice() const {
    return FKeeper->Waiting();
}

void TForm1::SetReconnectDelays(std::chrono::milliseconds First, std::chrono::milliseconds Longest) {
    FKeeper->SetDelays(First, Longest);
}

void TForm1::ComPortRxChar(TCustomComPort &Sender, std::int32_t Count) {
    // A read error leaves here for the port's event thread, and RxBuffer keeps what it held.
    std::string Received;
    Sender.ReadText(Received, Count);
    RxBuffer.Append(Received);
    if (!FRele)
        return;
    // One answer at a time out of the buffer: the console may show a message box, whose event
    // loop can run the next receive event, and that one goes on with the answers still waiting.
    while (const std::optional<std::string> Respond = RxBuffer.NextAnswer()) {
        // Besides the beep: the panel may be behind other windows when an input raises the alarm.
        if (FRele->ProcessRespond(*Respond) == rkAlert && FRele->AlarmTriggered && AskForAttention)
            AskForAttention(this);
    }
}

void TForm1::ComPortError(TCustomComPort &, TComErrors Errors) {
    FConsole->InsertPlainLine(QString::fromUtf8(ComErrorLine));
    // Both drivers report their hang-up (EIO, ENXIO, ENODEV, POLLHUP) as this error and nothing else.
    if (Errors.Contains(ceIO))
        FKeeper->DeviceLost();
}

void TForm1::UpdateDiods() {
    if (FRele)
        ShowLamps(FRele.get());
}

void TForm1::ShowLamps(const TRele *State) {
    // Without a state (before the first console line) every lamp is white, which reads as unlit.
    const TRele Blank(nullptr);
    const TRele &Shown = State ? *State : Blank;
    const bool Known = State != nullptr;
    TLampShape *const RelayLamps[] = {ui->RL1, ui->RL2, ui->RL3};
    for (int N = 1; N <= 3; ++N)
        ShowLamp(RelayLamps[N - 1], Known && Shown.Relays[N], Red, RelayMeaning, N);
    TLampShape *const InputLamps[] = {ui->IL1, ui->IL2, ui->IL3, ui->IL4, ui->IL5};
    for (int N = 1; N <= 5; ++N)
        ShowLamp(InputLamps[N - 1], Known && Shown.Inputs[N], Red, InputMeaning, N);
    ShowLamp(ui->AL1, Known && Shown.AlarmActive, Green, ArmedMeaning);
    ShowLamp(ui->AL2, Known && !Shown.AlarmActive, Yellow, DisarmedMeaning);
    ShowLamp(ui->TL1, Known && Shown.AlarmTriggered, Magenta, TriggerMeaning);
}

std::optional<QPoint> TForm1::FirstPosition(const QSize &Size, const QRect &Available) {
    // Measured without the frame that the window manager adds; at most the frame's edge can then
    // reach past the free area.
    if (Available.contains(QRect(FormPosition, Size)))
        return FormPosition;
    return std::nullopt;
}

void TForm1::KeepFormGeometry() {
    FForm = {size(), ui->MsgR->geometry(), ui->GroupBox2->geometry(), ui->CtrlGB->geometry()};
    setMinimumSize(FForm.Window);
}

void TForm1::resizeEvent(QResizeEvent *Event) {
    QWidget::resizeEvent(Event);
    const QSize Extra = (size() - FForm.Window).expandedTo(QSize(0, 0));
    ui->MsgR->setGeometry(FForm.Console.adjusted(0, 0, Extra.width(), Extra.height()));
    ui->GroupBox2->move(FForm.Beside.topLeft() + QPoint(Extra.width(), 0));
    ui->CtrlGB->move(FForm.Below.topLeft() + QPoint(0, Extra.height()));
}

void TForm1::keyPressEvent(QKeyEvent *Event) {
    if (Event->key() != Qt::Key_Return && Event->key() != Qt::Key_Enter) {
        QWidget::keyPressEvent(Event);
        return;
    }
    auto *Focused = qobject_cast<QPushButton *>(focusWidget());
    QPushButton *Target = Focused ? Focused : ui->Button_Send;
    if (Target->isEnabled() && Target->isVisible())
        Target->click();
    Event->accept();
}
