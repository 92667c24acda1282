// Saving and loading port settings: the fixed key order, the rules of the two stores, and loading
// onto an open port, where every loaded value reaches the driver before the next key is read.
#include "serial/forms/ComStorage.h"
#include "serial/port/ComPort.h"
#include "serial/testing/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace ComApi;

namespace {

using Names = std::vector<std::string>;

// clang-format off
const Names AllKeys = {
    "Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl",
    "EventChar", "DiscardNull",
    "Parity.Check", "Parity.Replace", "Parity.ReplaceChar",
    "Buffer.OutputSize", "Buffer.InputSize",
    "Timeouts.ReadInterval", "Timeouts.ReadTotalConstant", "Timeouts.ReadTotalMultiplier",
    "Timeouts.WriteTotalConstant", "Timeouts.WriteTotalMultiplier",
    "FlowControl.ControlRTS", "FlowControl.ControlDTR", "FlowControl.DSRSensitivity", "FlowControl.OutCTSFlow",
    "FlowControl.OutDSRFlow", "FlowControl.TxContinueOnXoff", "FlowControl.XonXoffIn", "FlowControl.XonXoffOut",
    "FlowControl.XoffChar", "FlowControl.XonChar"};
// clang-format on

const TStoredGroups AllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers};

// Every setting away from its default, so a key that is skipped or swapped shows.
// clang-format off
void SetEverything(TCustomComPort &P) {
    auto &F = P.FlowControl();
    auto &T = P.Timeouts();
    P.SetPort("/tmp/sim port"); P.SetBaudRate(brCustom); P.SetCustomBaudRate(250000); P.SetStopBits(sbOne5StopBits);
    P.SetDataBits(dbSeven); P.Parity().SetBits(prMark); P.SetEventChar('*'); P.SetDiscardNull(true);
    P.Parity().SetCheck(true); P.Parity().SetReplace(true); P.Parity().SetReplaceChar('\xFE');
    P.Buffer().SetOutputSize(2048); P.Buffer().SetInputSize(4096);
    T.SetReadInterval(11); T.SetReadTotalConstant(12); T.SetReadTotalMultiplier(13); T.SetWriteTotalConstant(-14);
    T.SetWriteTotalMultiplier(15);
    F.SetControlRTS(rtsToggle); F.SetControlDTR(dtrHandshake); F.SetDSRSensitivity(true); F.SetOutCTSFlow(true);
    F.SetOutDSRFlow(true); F.SetTxContinueOnXoff(true); F.SetXonXoffIn(true); F.SetXoffChar(' '); F.SetXonChar('\x01');
}

std::string Describe(const TCustomComPort &P) {
    const auto &F = P.FlowControl();
    const auto &T = P.Timeouts();
    std::string S = P.Port();
    for (int V : {int(P.BaudRate()), P.CustomBaudRate(), int(P.StopBits()), int(P.DataBits()), int(P.Parity().Bits()),
                  int(P.EventChar()), int(P.DiscardNull()), int(P.Parity().Check()), int(P.Parity().Replace()),
                  int(P.Parity().ReplaceChar()), P.Buffer().OutputSize(), P.Buffer().InputSize(),
                  T.ReadInterval(), T.ReadTotalConstant(), T.ReadTotalMultiplier(), T.WriteTotalConstant(),
                  T.WriteTotalMultiplier(), int(F.ControlRTS()), int(F.ControlDTR()), int(F.DSRSensitivity()),
                  int(F.OutCTSFlow()), int(F.OutDSRFlow()), int(F.TxContinueOnXoff()), int(F.XonXoffIn()),
                  int(F.XonXoffOut()), int(F.XoffChar()), int(F.XonChar())})
        S += "|" + std::to_string(V);
    return S;
}
// clang-format on

class PortStorageTest : public ::testing::Test {
protected:
    PortStorageTest() {
        Port.SetName("ComPort");
        Port.SetEvents({}); // no event thread: these tests look at settings and driver calls only
        Driver.AddDevice("COM1");
        Driver.AddDevice("COM2");
    }

    TIniFile IniWith(const std::string &Body) {
        TIniFile Ini;
        Ini.SetText("[Other]\nPort=COM9\n[ComPort]\n" + Body);
        return Ini;
    }

    TScriptComDriver Driver;
    TComPort Port{Driver};
};

TEST_F(PortStorageTest, DefaultGroupsSaveTheBasicKeysInOrder) {
    TIniFile Ini;
    Port.SaveToIniFile(Ini);
    EXPECT_EQ(Ini.Text(),
              "[ComPort]\nPort=COM1\nBaudRate=9600\nStopBits=1\nDataBits=8\nParity=None\nFlowControl=None\n");

    Port.SetBaudRate(brCustom);
    TRegistryAccessor Reg;
    Port.SaveToRegistry(Reg);
    EXPECT_EQ(Reg.ValueNames(),
              (Names{"Port", "BaudRate", "CustomBaudRate", "StopBits", "DataBits", "Parity", "FlowControl"}));
    EXPECT_EQ(Reg.DataType("CustomBaudRate"), rdInteger);
    EXPECT_EQ(Reg.ReadInteger("CustomBaudRate"), 9600);
}

TEST_F(PortStorageTest, EveryGroupRoundTripsThroughBothStores) {
    TComPort Source{Driver};
    Source.SetName("ComPort");
    Source.SetStoredGroups(AllGroups);
    SetEverything(Source);
    TIniFile Ini;
    Source.SaveToIniFile(Ini);
    EXPECT_EQ(Ini.ReadSection("ComPort"), AllKeys);
    TRegistryAccessor Reg;
    Source.SaveToRegistry(Reg);
    EXPECT_EQ(Reg.ValueNames(), AllKeys);

    for (bool FromIni : {true, false}) {
        TComPort Target{Driver};
        Target.SetName("ComPort");
        Target.SetStoredGroups(AllGroups);
        FromIni ? Target.LoadFromIniFile(Ini) : Target.LoadFromRegistry(Reg);
        EXPECT_EQ(Describe(Target), Describe(Source)) << (FromIni ? "ini" : "registry");
    }
}

TEST_F(PortStorageTest, IniLoadKeepsWhatIsAbsent) {
    SetEverything(Port);
    Port.SetStoredGroups(AllGroups);
    const std::string Before = Describe(Port);
    TIniFile NoSection;
    NoSection.SetText("[Other]\nPort=COM9\nBaudRate=110\n");
    Port.LoadFromIniFile(NoSection);
    EXPECT_EQ(Port.CustomBaudRate(), 9600); // an absent custom rate is the usual one, not the old
    Port.SetCustomBaudRate(250000);
    EXPECT_EQ(Describe(Port), Before);

    TIniFile Some = IniWith("DataBits=5\nBuffer.InputSize=not a number\nTimeouts.ReadInterval=7\n");
    Port.LoadFromIniFile(Some);
    Port.SetCustomBaudRate(250000);
    Port.SetDataBits(dbSeven);
    Port.Timeouts().SetReadInterval(11);
    EXPECT_EQ(Describe(Port), Before); // nothing but the two present keys had changed
}

TEST_F(PortStorageTest, FlowControlSummaryYieldsToTheDetailedKeys) {
    struct {
        const char *Body;
        TStoredGroups Groups;
        TFlowControl Expected;
    } const Cases[] = {
        {"FlowControl=hardware\n", {sgBasic}, fcHardware},
        {"FlowControl=Custom\n", {sgBasic}, fcSoftware}, // no switch changes
        {"FlowControl=garbage\n", {sgBasic}, fcSoftware},
        {"FlowControl=None\nFlowControl.XonXoffIn=Yes\n", {sgBasic}, fcNone}, // group not stored
        {"FlowControl=Hardware\nFlowControl.OutCTSFlow=No\n", {sgBasic, sgFlowControl}, fcCustom},
    };
    for (const auto &C : Cases) {
        SCOPED_TRACE(C.Body);
        Port.FlowControl().SetFlowControl(fcSoftware);
        Port.SetStoredGroups(C.Groups);
        TIniFile Ini = IniWith(C.Body);
        Port.LoadFromIniFile(Ini);
        EXPECT_EQ(Port.FlowControl().FlowControl(), C.Expected);
    }
}

// Fails the write of one value, as a key that runs out of quota would.
class TFailingRegistry : public TRegistryAccessor {
public:
    void WriteString(const std::string &Name, const std::string &Value) override {
        if (Name == "DataBits")
            throw ERegistryError(ERegistryError::rkWrite, Name, "refused");
        TRegistryAccessor::WriteString(Name, Value);
    }
};

TEST_F(PortStorageTest, RegistryFailuresStopPartWay) {
    Port.SetPort("COM2");
    Port.SetBaudRate(brCustom);
    Port.SetDataBits(dbSix);
    TRegistryAccessor Saved;
    Port.SaveToRegistry(Saved);
    const std::pair<std::function<void(TRegistryAccessor &)>, const char *> Spoilers[] = {
        {[](TRegistryAccessor &R) { R.DeleteValue("StopBits"); }, "StopBits"},
        {[](TRegistryAccessor &R) { R.WriteInteger("StopBits", 2); }, "StopBits"},
        {[](TRegistryAccessor &R) { R.DeleteValue("CustomBaudRate"); }, "CustomBaudRate"},
        {[](TRegistryAccessor &R) { R.WriteString("CustomBaudRate", "1"); }, "CustomBaudRate"},
    };
    for (const auto &[Spoil, FailingKey] : Spoilers) {
        TRegistryAccessor Reg = Saved;
        Spoil(Reg);
        TComPort Target{Driver};
        try {
            Target.LoadFromRegistry(Reg);
            ADD_FAILURE() << FailingKey << " loaded";
        } catch (const ERegistryError &E) {
            EXPECT_EQ(E.Kind(), ERegistryError::rkRead);
            EXPECT_EQ(E.ValueName(), FailingKey);
        }
        EXPECT_EQ(Target.Port(), "COM2"); // loaded before the failure
        EXPECT_EQ(Target.BaudRate(), brCustom);
        EXPECT_EQ(Target.DataBits(), dbEight); // never reached
    }

    TFailingRegistry Failing;
    EXPECT_THROW(Port.SaveToRegistry(Failing), ERegistryError);
    EXPECT_EQ(Failing.ValueNames(), (Names{"Port", "BaudRate", "CustomBaudRate", "StopBits"}));
}

TEST_F(PortStorageTest, LoadingOntoAnOpenPortAppliesEachValueAtOnce) {
    Port.OpenPort();
    ASSERT_TRUE(Port.Connected());
    Driver.ClearCalls();
    TIniFile Ini = IniWith("Port=COM2\nBaudRate=115200\nDataBits=7\n");
    Port.LoadFromIniFile(Ini);

    EXPECT_TRUE(Port.Connected());
    EXPECT_FALSE(Driver.IsOpen("COM1"));
    EXPECT_TRUE(Driver.IsOpen("COM2"));
    // The reopen under the new name comes first, then one application per key: BaudRate, DataBits,
    // and the absent FlowControl summary, which re-applies what the port has.
    std::vector<std::string> Seen;
    for (const TScriptCall &Call : Driver.Calls())
        if (Call.Function == "CreateFile")
            Seen.push_back("open " + Call.Name);
        else if (Call.Function == "SetCommState")
            Seen.push_back(std::to_string(Call.Dcb.BaudRate) + "/" + std::to_string(Call.Dcb.ByteSize));
    EXPECT_EQ(Seen, (Names{"open COM2", "9600/8", "115200/8", "115200/7", "115200/7"}));

    // A value the device refuses stops the load with the port's error; the keys before it stay.
    Driver.FailNext("SetCommState", EINVAL);
    TIniFile Refused = IniWith("Port=COM2\nBaudRate=300\nStopBits=2\n");
    try {
        Port.LoadFromIniFile(Refused);
        ADD_FAILURE() << "loaded";
    } catch (const EComPort &E) {
        EXPECT_EQ(E.ErrorNumber(), 7);
    }
    EXPECT_EQ(Port.BaudRate(), br300);
    EXPECT_EQ(Port.StopBits(), sbOneStopBit);
    Port.ClosePort();
}

} // namespace
