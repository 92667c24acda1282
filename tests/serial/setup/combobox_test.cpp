// One port-bound combo box on its own: linking, the operator's picks, AutoApply, Text and the
// removal notice.
#include "SetupHarness.h"

#include "serial/port/ComPlatform.h"

#include <QSignalSpy>

#include <memory>

using namespace setuptest;

namespace {

class ComboBox : public TSetupTest {
protected:
    ComboBox() {
        Sysfs.AddPort("ttyUSB0");
        Sysfs.AddPort("ttyUSB1");
        Driver.AddDevice("ttyUSB0");
        Port.SetPort("ttyUSB0");
    }
    TComComboBox Box;
};

TEST_F(ComboBox, SelectionFollowsKindAndPort) {
    Box.SetComProperty(cpNone);
    EXPECT_EQ(Box.count(), 0);
    EXPECT_EQ(Box.Text(), "");

    Box.SetComProperty(cpStopBits);
    EXPECT_EQ(Box.Text(), "1") << "no port: the first entry";
    Box.ReadFromPort(); // no port: the selection stays
    EXPECT_EQ(Box.currentIndex(), 0);

    Port.SetStopBits(sbTwoStopBits);
    Box.SetComPort(&Port);
    EXPECT_EQ(Box.Text(), "2");
    EXPECT_EQ(Box.ComSelect().HeldStopBits(), sbTwoStopBits);

    // A new kind on a linked box shows the port's value of that kind.
    Box.SetComProperty(cpDataBits);
    EXPECT_EQ(Box.Text(), "8");
    EXPECT_EQ(Box.ComSelect().HeldDataBits(), dbEight);

    // Linking the same port again is no re-read: the operator's pick stays.
    Pick(Box, "6");
    Box.SetComPort(&Port);
    EXPECT_EQ(Box.Text(), "6");
}

TEST_F(ComboBox, TextSelectsWithoutHolding) {
    Box.SetComProperty(cpParity);
    Box.SetComPort(&Port);
    Box.SetText("sPaCe");
    EXPECT_EQ(Box.Text(), "Space");
    Box.SetText("Sideways");
    EXPECT_EQ(Box.Text(), "Space") << "an unlisted text leaves the selection";
    Box.ApplyToPort();
    EXPECT_EQ(Port.Parity().Bits(), prNone) << "only a pick or the port's value is held";
}

TEST_F(ComboBox, PicksAreAppliedOnlyWithAutoApply) {
    Box.SetComProperty(cpBaudRate);
    Box.SetComPort(&Port);
    QSignalSpy Changes(&Box, &TComComboBox::Change);

    Pick(Box, "2400");
    EXPECT_EQ(Port.BaudRate(), br9600);
    EXPECT_EQ(Box.ComSelect().HeldBaudRate(), br2400);

    Box.SetAutoApply(true);
    Port.OpenPort();
    Driver.ClearCalls();
    Pick(Box, "57600");
    EXPECT_EQ(Port.BaudRate(), br57600);
    ASSERT_EQ(Driver.CallsOf("SetCommState").size(), 1u);
    EXPECT_EQ(Driver.CallsOf("SetCommState")[0].Dcb.BaudRate, 57600u);
    EXPECT_EQ(Changes.count(), 2);
}

// A pick that the port refuses must not escape into Qt's event dispatch.
TEST_F(ComboBox, RefusedAutoApplyGoesToTheErrorDisplay) {
    TErrorRecorder Errors;
    Box.SetComProperty(cpPort);
    Box.SetComPort(&Port);
    Box.SetAutoApply(true);
    Port.OpenPort();
    Pick(Box, "ttyUSB1"); // listed, but the driver has no such device
    ASSERT_EQ(Errors.Messages.size(), 1u);
    EXPECT_FALSE(Port.Connected());
}

TEST_F(ComboBox, RemovalNoticeForgetsThePort) {
    auto Doomed = std::make_unique<TComPort>(Driver);
    Doomed->SetDataBits(dbSix);
    Box.SetComProperty(cpDataBits);
    Box.SetComPort(Doomed.get());
    ASSERT_EQ(Box.Text(), "6");

    Box.PortDestroyed(Port); // another port's notice changes nothing
    EXPECT_EQ(Box.ComPort(), Doomed.get());

    Doomed.reset(); // the port's own destruction notice reaches the box
    EXPECT_EQ(Box.ComPort(), nullptr);
    EXPECT_EQ(Box.Text(), "5");
    Box.ApplyToPort(); // nothing left to write into
    Pick(Box, "7");
}

TEST_F(ComboBox, BoxDestroyedBeforeItsPortLeavesNoListenerBehind) {
    {
        TComComboBox Early;
        Early.SetComProperty(cpDataBits);
        Early.SetComPort(&Port);
    }
    Port.OpenPort(); // the listeners are told of the open; a dangling one would be used here
    Port.ClosePort();
}

} // namespace
