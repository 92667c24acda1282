#include "serial/setup/CPortCtl.h"

#include "serial/driver/ComEnum.h"
#include "serial/forms/ComText.h"
#include "serial/port/ComPlatform.h"
#include "serial/port/ComPort.h"

#include <QAbstractItemView>
#include <QStyledItemDelegate>

#include <utility>
#include <vector>

namespace {

std::filesystem::path &SysfsRoot() {
    static std::filesystem::path Root = "/sys";
    return Root;
}

std::filesystem::path &DeviceRoot() {
    static std::filesystem::path Root = "/dev";
    return Root;
}

std::vector<std::string> &OfferedNames() {
    static std::vector<std::string> Ports;
    return Ports;
}

// Every value of an enumeration in ordinal order, as text.
template <typename E, typename F> void AddAll(QComboBox &Items, E Last, F ToText) {
    for (int Value = 0; Value <= static_cast<int>(Last); ++Value)
        Items.addItem(QString::fromStdString(ToText(static_cast<E>(Value))), Value);
}

// Gives every entry of the drop-down list the same fixed height.
class TItemHeightDelegate : public QStyledItemDelegate {
public:
    TItemHeightDelegate(const int &Height, QObject *Parent) : QStyledItemDelegate(Parent), FHeight(Height) {}
    QSize sizeHint(const QStyleOptionViewItem &Option, const QModelIndex &Index) const override {
        QSize Size = QStyledItemDelegate::sizeHint(Option, Index);
        Size.setHeight(FHeight);
        return Size;
    }

private:
    const int &FHeight;
};

} // namespace

void SetComPortSysfsRoot(const std::filesystem::path &Root) {
    SysfsRoot() = Root;
}

const std::filesystem::path &ComPortSysfsRoot() {
    return SysfsRoot();
}

void SetComPortDeviceRoot(const std::filesystem::path &Root) {
    DeviceRoot() = Root;
}

void SetOfferedComPorts(std::vector<std::string> Ports) {
    OfferedNames() = std::move(Ports);
}

// ---- TComSelect

void TComSelect::FillList(TComProperty Kind) {
    FComProperty = Kind;
    FItems.clear();
    switch (Kind) {
    case cpPort: {
        std::vector<std::string> Ports;
        ListComPorts(Ports, SysfsRoot(), DeviceRoot());
        for (const std::string &Name : Ports) {
            FItems.addItem(QString::fromStdString(Name));
            const std::string Usb = UsbDeviceDescription(Name, SysfsRoot(), DeviceRoot());
            if (!Usb.empty())
                FItems.setItemData(FItems.count() - 1, QString::fromStdString(Usb), Qt::ToolTipRole);
        }
        for (const std::string &Name : OfferedNames())
            if (FItems.findText(QString::fromStdString(Name), Qt::MatchFixedString) < 0)
                FItems.addItem(QString::fromStdString(Name));
        break;
    }
    case cpBaudRate:
        AddAll(FItems, br256000, BaudRateToText);
        break;
    case cpDataBits:
        AddAll(FItems, dbEight, DataBitsToText);
        break;
    case cpStopBits:
        AddAll(FItems, sbTwoStopBits, StopBitsToText);
        break;
    case cpParity:
        AddAll(FItems, prSpace, ParityToText);
        break;
    case cpFlowControl:
        AddAll(FItems, fcCustom, FlowControlToText);
        break;
    case cpNone:
        break;
    }
}

std::string TComSelect::PortValueText() const {
    switch (FComProperty) {
    case cpPort:
        return FComPort->Port();
    case cpBaudRate:
        return BaudRateToText(FComPort->BaudRate());
    case cpDataBits:
        return DataBitsToText(FComPort->DataBits());
    case cpStopBits:
        return StopBitsToText(FComPort->StopBits());
    case cpParity:
        return ParityToText(FComPort->Parity().Bits());
    case cpFlowControl:
        return FlowControlToText(FComPort->FlowControl().FlowControl());
    case cpNone:
        break;
    }
    return {};
}

int TComSelect::ReadFromPort() {
    if (!FComPort || FComProperty == cpNone)
        return -1;
    // MatchFixedString compares whole texts without regard to letter case.
    const int Index = FItems.findText(QString::fromStdString(PortValueText()), Qt::MatchFixedString);
    if (Index >= 0)
        TakeText(FItems.itemText(Index).toStdString());
    return Index;
}

void TComSelect::TakeText(const std::string &Text) {
    switch (FComProperty) {
    case cpPort:
        FPort = Text;
        FHoldsPort = true;
        break;
    case cpBaudRate:
        FBaudRate = TextToBaudRate(Text);
        break;
    case cpDataBits:
        FDataBits = TextToDataBits(Text);
        break;
    case cpStopBits:
        FStopBits = TextToStopBits(Text);
        break;
    case cpParity:
        FParity = TextToParity(Text);
        break;
    case cpFlowControl:
        FFlowControl = TextToFlowControl(Text);
        break;
    case cpNone:
        break;
    }
}

void TComSelect::ApplyToPort() {
    if (!FComPort)
        return;
    switch (FComProperty) {
    case cpPort:
        // Writing the initial empty name would close an open port and fail to reopen it.
        if (FHoldsPort)
            FComPort->SetPort(FPort);
        break;
    case cpBaudRate:
        FComPort->SetBaudRate(FBaudRate);
        break;
    case cpDataBits:
        FComPort->SetDataBits(FDataBits);
        break;
    case cpStopBits:
        FComPort->SetStopBits(FStopBits);
        break;
    case cpParity:
        FComPort->Parity().SetBits(FParity);
        break;
    case cpFlowControl:
        FComPort->FlowControl().SetFlowControl(FFlowControl);
        break;
    case cpNone:
        break;
    }
}

// ---- TComComboBox

TComComboBox::TComComboBox(QWidget *Parent) : QComboBox(Parent) {
    setEditable(false);
    view()->setItemDelegate(new TItemHeightDelegate(FItemHeight, view()));
    // activated, not currentIndexChanged: only the operator's pick counts, never our own selecting.
    connect(this, &QComboBox::activated, this, &TComComboBox::Picked);
    FPortListener.OnDestroying = [this](TCustomComPort &Port) { PortDestroyed(Port); };
}

TComComboBox::~TComComboBox() {
    if (FComSelect.FComPort)
        FComSelect.FComPort->DetachListener(FPortListener);
}

void TComComboBox::SetComPort(TCustomComPort *Value) {
    if (Value == FComSelect.FComPort)
        return;
    if (FComSelect.FComPort)
        FComSelect.FComPort->DetachListener(FPortListener);
    FComSelect.FComPort = Value;
    if (Value) {
        Value->AttachListener(FPortListener);
        ReadFromPort();
    }
}

void TComComboBox::SetComProperty(TComProperty Value) {
    FComSelect.FillList(Value);
    if (count() == 0)
        setCurrentIndex(-1);
    else if (!FComSelect.FComPort)
        setCurrentIndex(0);
    else
        setCurrentIndex(FComSelect.ReadFromPort());
}

QString TComComboBox::Text() const {
    return currentIndex() < 0 ? QString() : itemText(currentIndex());
}

void TComComboBox::SetText(const QString &Value) {
    const int Index = findText(Value, Qt::MatchFixedString);
    if (Index >= 0)
        setCurrentIndex(Index);
}

void TComComboBox::SetItemHeight(int Value) {
    FItemHeight = Value;
    view()->doItemsLayout();
}

void TComComboBox::ReadFromPort() {
    if (!FComSelect.FComPort || FComSelect.FComProperty == cpNone)
        return;
    setCurrentIndex(FComSelect.ReadFromPort());
}

void TComComboBox::PortDestroyed(TCustomComPort &Port) {
    if (&Port != FComSelect.FComPort)
        return;
    Port.DetachListener(FPortListener);
    FComSelect.FComPort = nullptr;
    if (count() > 0)
        setCurrentIndex(0);
}

void TComComboBox::Picked(int Index) {
    (void)Index;
    FComSelect.TakeText(Text().toStdString());
    if (FComSelect.FAutoApply) {
        // Qt's event dispatch cannot carry an exception: a port that refuses the value is reported
        // like any error that escapes an operator's action.
        try {
            FComSelect.ApplyToPort();
        } catch (...) {
            ReportApplicationError();
        }
    }
    emit Change();
}
