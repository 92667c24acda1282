// Combo boxes bound to one setting of one serial port.
//
// A TComComboBox lists the possible values of one port property (the port name, baud rate, data
// bits, stop bits, parity or flow control) in the settings' text forms (serial/forms/ComText.h), shows
// the linked port's current value and holds the value the operator picks. The port sees the pick
// only through ApplyToPort, or at once when AutoApply is on. The setup dialog (CPortSetup.h) is
// built from six of them.
//
// The held value lives in the box's TComSelect, which knows how to fill the list, find the port's
// value in it and write a value back; the box adds the widget side (selection, change signal).
//
// Lifetime. A box does not own its port. It listens for the port's destruction notice and then
// forgets the port (PortDestroyed), so a port may be destroyed before the boxes bound to it.
//
// Thread safety: main thread only, like every widget.
#pragma once

#include "serial/port/ComPort.h"

#include <QComboBox>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Which port property a box edits.
enum TComProperty : std::uint8_t {
    cpNone,
    cpPort,
    cpBaudRate,
    cpDataBits,
    cpStopBits,
    cpParity,
    cpFlowControl
};

// Where the port list is read from: the root of the kernel's sysfs ("/sys"); tests point it at a
// tree of their own.
void SetComPortSysfsRoot(const std::filesystem::path &Root);
const std::filesystem::path &ComPortSysfsRoot();
// And the root of the device folder ("/dev"), for the stable by-id names.
void SetComPortDeviceRoot(const std::filesystem::path &Root);
// Names that every port list offers after the system's ports (those it lacks, letter case ignored):
// the ports the front end knows the operator uses, such as network ports opened before.
void SetOfferedComPorts(std::vector<std::string> Ports);

// The value one box holds, and its way to and from the port. Owned by exactly one TComComboBox,
// whose item list it fills and searches.
class TComSelect {
public:
    explicit TComSelect(QComboBox &Items) : FItems(Items) {}

    // Replaces the list with every text form of Kind (for cpPort the ports present right now, a
    // USB adapter's maker, product and serial number as its entry's tool tip).
    // A failing port list raises EComPort and leaves the list empty.
    void FillList(TComProperty Kind);
    // The position of the first entry equal to the port's current value, letter case ignored, or
    // -1. A found entry's value becomes the held value; otherwise the held value stays. -1 also
    // when no port is linked or the kind is cpNone.
    int ReadFromPort();
    // Holds the value that Text stands for (for cpPort the text itself).
    void TakeText(const std::string &Text);
    // Writes the held value into the linked port; nothing without a port, for cpNone, or for
    // cpPort while no listed name is held (the port keeps a name the list does not offer).
    void ApplyToPort();

    TComProperty ComProperty() const { return FComProperty; }
    TCustomComPort *ComPort() const { return FComPort; }
    bool AutoApply() const { return FAutoApply; }

    const std::string &HeldPort() const { return FPort; }
    bool HoldsPort() const { return FHoldsPort; }
    TBaudRate HeldBaudRate() const { return FBaudRate; }
    TDataBits HeldDataBits() const { return FDataBits; }
    TStopBits HeldStopBits() const { return FStopBits; }
    TParityBits HeldParity() const { return FParity; }
    TFlowControl HeldFlowControl() const { return FFlowControl; }

private:
    friend class TComComboBox;

    std::string PortValueText() const;

    std::string FPort;
    TBaudRate FBaudRate = brCustom;
    TDataBits FDataBits = dbFive;
    TStopBits FStopBits = sbOneStopBit;
    TParityBits FParity = prNone;
    TFlowControl FFlowControl = fcHardware;
    QComboBox &FItems;
    TComProperty FComProperty = cpNone;
    TCustomComPort *FComPort = nullptr;
    bool FAutoApply = false;
    // An empty held name is not "no name": a port list may list an empty name.
    bool FHoldsPort = false;
};

// A drop-down list (no typing) bound to one property of one port.
class TComComboBox : public QComboBox {
    Q_OBJECT
    Q_PROPERTY(bool AutoApply READ AutoApply WRITE SetAutoApply)
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int ItemHeight READ ItemHeight WRITE SetItemHeight)

public:
    explicit TComComboBox(QWidget *Parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort *ComPort() const { return FComSelect.FComPort; }
    // Linking a port shows and holds its current value; null unlinks.
    void SetComPort(TCustomComPort *Value);
    TComProperty ComProperty() const { return FComSelect.FComProperty; }
    // Refills the list and selects the port's value (the first entry without a port).
    void SetComProperty(TComProperty Value);
    // The name the generated form code calls.
    void setComProperty(TComProperty Value) { SetComProperty(Value); }
    bool AutoApply() const { return FComSelect.FAutoApply; }
    void SetAutoApply(bool Value) { FComSelect.FAutoApply = Value; }
    // The selected entry's text, empty when nothing is selected.
    QString Text() const;
    // Selects the first entry equal to Value, letter case ignored; no such entry leaves the
    // selection alone. Holds nothing: only the operator's pick or ReadFromPort does.
    void SetText(const QString &Value);
    // The height of an entry in the drop-down list, in pixels.
    int ItemHeight() const { return FItemHeight; }
    void SetItemHeight(int Value);

    void ApplyToPort() { FComSelect.ApplyToPort(); }
    // Selects the port's current value (no selection when the list lacks it); does nothing
    // without a port or for cpNone.
    void ReadFromPort();
    // The removal notice: the linked port is going away. Forgets it and selects the first entry.
    void PortDestroyed(TCustomComPort &Port);

    const TComSelect &ComSelect() const { return FComSelect; }

signals:
    // The operator picked an entry; the pick is held (and applied with AutoApply) by now.
    void Change();

private:
    void Picked(int Index);

    TComSelect FComSelect{*this};
    // Attached to the linked port for its destruction notice only.
    TComListener FPortListener;
    int FItemHeight = 13;
};
