// The port setup dialog: the operator picks port name, baud rate, data bits, stop bits, parity and
// flow control for one port, and the port takes them only when the dialog is accepted, all six in
// one settings update (so an open port is reconfigured once, not six times).
//
// The dialog's own texts go through the "cport" catalogue when it is built; the six lists keep
// their entries untranslated, since they are the settings' fixed text forms.
//
// Start-up calls RegisterPortSetupDialog once, so that TCustomComPort::RunSetupDialog (which the
// core cannot build itself, having no window system) opens this dialog.
//
// Thread safety: main thread only; the dialog is modal.
#pragma once

#include <QDialog>

#include <array>
#include <functional>
#include <memory>

class QGroupBox;
class QLabel;
class QPushButton;
class TComComboBox;
class TCustomComPort;

namespace Ui {
class TComSetupFrm;
}

class TComSetupFrm : public QDialog {
    Q_OBJECT

public:
    // Builds the form: every list is filled here (the port list read from the system now), and
    // FormCreate translates the texts. A failing port list raises EComPort from here.
    explicit TComSetupFrm(QWidget *Parent = nullptr);
    ~TComSetupFrm() override;

    QPushButton *Button1 = nullptr;
    QPushButton *Button2 = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    TComComboBox *Combo2 = nullptr;
    TComComboBox *Combo3 = nullptr;
    TComComboBox *Combo4 = nullptr;
    TComComboBox *Combo5 = nullptr;
    TComComboBox *Combo6 = nullptr;
    TComComboBox *Combo1 = nullptr;

    // Translates the dialog's texts in "cport". A translation error goes to the application's
    // error display and the dialog keeps what was translated before it.
    void FormCreate(QObject *Sender);

    // Combo1 ... Combo6: the order in which the port is linked and the values are written.
    std::array<TComComboBox *, 6> Boxes() const { return {Combo1, Combo2, Combo3, Combo4, Combo5, Combo6}; }

protected:
    // No button answers Esc: the operator leaves with Cancel or the title bar's close button.
    void keyPressEvent(QKeyEvent *Event) override;
    void showEvent(QShowEvent *Event) override;

private:
    std::unique_ptr<Ui::TComSetupFrm> ui;
};

// Runs once the dialog is on screen and its modal loop runs: lets a test act as the operator. An
// exception it raises closes the dialog as Cancel and is raised again from EditPortSettings.
using TSetupDialogShown = std::function<void(TComSetupFrm &Form)>;

// Runs the dialog for ComPort and, on OK, writes the six chosen values into it inside one settings
// update. The settings update is ended and the dialog destroyed on every path; a port error while
// writing (a reopen under a new name that fails, say) reaches the caller, and the values after the
// failing one are not written.
void EditPortSettings(TCustomComPort &ComPort, const TSetupDialogShown &OnShown = {});
// The same, telling whether the operator accepted.
bool ExecutePortSetup(TCustomComPort &ComPort, const TSetupDialogShown &OnShown = {});

// Makes TCustomComPort::RunSetupDialog run this dialog. Call once at start-up.
void RegisterPortSetupDialog();
