// Saving and loading port settings: the fixed key order, the rules of the two stores, and loading
// onto an open port, where every loaded value reaches the driver before the next key is read.
#include "serial/ComPort.h"
#include "serial/ComStorage.h"
#include "serial/ScriptComDriver.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

using Names = std::vector<std::string>;

const Names AllKeys = {"Port",
                       "BaudRate",
                       "CustomBaudRate",
                       "StopBits",
                       "DataBits",
                       "Parity",
                       "FlowControl",
                       "EventChar",
                       "DiscardNull",
                       "Parity.Check",
                       "Parity.Replace",
                       "Parity.ReplaceChar",
                       "Buffer.OutputSize",
                       "Buffer.InputSize",
                       "Timeouts.ReadInterval",
                       "Timeouts.ReadTotalConstant",
                       "Timeouts.ReadTotalMultiplier",
                       "Timeouts.WriteTotalConstant",
                       "Timeouts.WriteTotalMultiplier",
                       "FlowControl.ControlRTS",
                       "FlowControl.ControlDTR",
                       "FlowControl.DSRSensitivity",
                       "FlowControl.OutCTSFlow",
                       "FlowControl.OutDSRFlow",
                       "FlowControl.TxContinueOnXoff",
                       "FlowControl.XonXoffIn",
                       "FlowControl.XonXoffOut",
                       "FlowControl.XoffChar",
                       "FlowControl.XonChar"};

const TStoredGroups AllGroups{sgBasic, sgFlowControl, sgBuffer, sgTimeouts, sgParity, sgOthers};

// Every setting away from its default, so a key that is skipped or swapped shows.
void SetEverything(TCustomComPort &Port) {
    Port.SetPort("/tmp/sim port");
    Port.SetBaudRate(brCustom);
    Port.SetCustomBaudRate(250000);
    Port.SetStopBits(sbOne5StopBits);
    Port.SetDataBits(dbSeven);
    Port.Parity().SetBits(prMark);
    Port.SetEventChar('*');
    Port.SetDiscardNull(true);
    Port.Parity().SetCheck(true);
    Port.Parity().SetReplace(true);
    Port.Parity().SetReplaceChar('\xFE');
    Port.Buffer().SetOutputSize(2048);
    Port.Buffer().SetInputSize(4096);
    Port.Timeouts().SetReadInterval(11);
    Port.Timeouts().SetReadTotalConstant(12);
    Port.Timeouts().SetReadTotalMultiplier(13);
    Port.Timeouts().SetWriteTotalConstant(-14);
    Port.Timeouts().SetWriteTotalMultiplier(15);
    Port.FlowControl().SetControlRTS(rtsToggle);
    Port.FlowControl().SetControlDTR(dtrHandshake);
    Port.FlowControl().SetDSRSensitivity(true);
    Port.FlowControl().SetOutCTSFlow(true);
    Port.FlowControl().SetOutDSRFlow(true);
    Port.FlowControl().SetTxContinueOnXoff(true);
    Port.FlowControl().SetXonXoffIn(true);
    Port.FlowControl().SetXoffChar(' ');
    Port.FlowControl().SetXonChar('\x01');
}

std::string Describe(const TCustomComPort &P) {
    const auto &F = P.FlowControl();
    const auto &T = P.Timeouts();
    std::string S = P.Port() + "|" + std::to_string(P.BaudRate()) + "|" + std::to_string(P.CustomBaudRate());
    for (int V : {int(P.StopBits()),         int(P.DataBits()),
                  int(P.Parity().Bits()),    int(P.EventChar()),
                  int(P.DiscardNull()),      int(P.Parity().Check()),
                  int(P.Parity().Replace()), int(P.Parity().ReplaceChar()),
                  P.Buffer().OutputSize(),   P.Buffer().InputSize(),
                  T.ReadInterval(),          T.ReadTotalConstant(),
                  T.ReadTotalMultiplier(),   T.WriteTotalConstant(),
                  T.WriteTotalMultiplier(),  int(F.ControlRTS()),
                  int(F.ControlDTR()),       int(F.DSRSensitivity()),
                  int(F.OutCTSFlow()),       int(F.OutDSRFlow()),
                  int(F.TxContinueOnXoff()), int(F.XonXoffIn()),
                  int(F.XonXoffOut()),       int(F.XoffChar()),
                  int(F.XonChar())})
        S += "|" + std::to_string(V);
    return S;
}

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
    struct {
        const char *Store;
        std::function<Names()> Save;
        std::function<void(TCustomComPort &)> Load;
    } const Stores[] = {
        {"ini",
         [&] {
             TIniFile Ini;
             Source.SaveToIniFile(Ini);
             return Ini.ReadSection("ComPort");
         },
         [&](TCustomComPort &P) {
             TIniFile Ini;
             Source.SaveToIniFile(Ini);
             P.LoadFromIniFile(Ini);
         }},
        {"registry",
         [&] {
             TRegistryAccessor Reg;
             Source.SaveToRegistry(Reg);
             return Reg.ValueNames();
         },
         [&](TCustomComPort &P) {
             TRegistryAccessor Reg;
             Source.SaveToRegistry(Reg);
             P.LoadFromRegistry(Reg);
         }},
    };
    for (const auto &S : Stores) {
        SCOPED_TRACE(S.Store);
        EXPECT_EQ(S.Save(), AllKeys);
        TComPort Target{Driver};
        Target.SetName("ComPort");
        Target.SetStoredGroups(AllGroups);
        S.Load(Target);
        EXPECT_EQ(Describe(Target), Describe(Source));
    }
}

TEST_F(PortStorageTest, IniLoadKeepsWhatIsAbsent) {
    SetEverything(Port);
    Port.SetStoredGroups(AllGroups);
    const std::string Before = Describe(Port);

    TIniFile NoSection;
    NoSection.SetText("[Other]\nPort=COM9\nBaudRate=110\n");
    Port.LoadFromIniFile(NoSection);
    Port.SetCustomBaudRate(250000);
    EXPECT_EQ(Describe(Port), Before);
    Port.SetCustomBaudRate(1);
    Port.LoadFromIniFile(NoSection); // an absent custom rate is the usual 9600
    EXPECT_EQ(Port.CustomBaudRate(), 9600);

    TComPort Fresh{Driver};
    Fresh.SetName("ComPort");
    Fresh.SetStoredGroups(AllGroups);
    TIniFile Some =
        IniWith("DataBits=5\nBuffer.InputSize=not a number\nTimeouts.ReadInterval=7\nEventChar=#13\n");
    Fresh.LoadFromIniFile(Some);
    TComPort Expected{Driver};
    Expected.SetDataBits(dbFive);
    Expected.Timeouts().SetReadInterval(7);
    Expected.SetEventChar('\r');
    EXPECT_EQ(Describe(Fresh), Describe(Expected));
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
    struct {
        const char *Why;
        std::function<void(TRegistryAccessor &)> Spoil;
        const char *FailingKey;
    } const Cases[] = {
        {"absent text", [](TRegistryAccessor &R) { R.DeleteValue("StopBits"); }, "StopBits"},
        {"integer where text belongs", [](TRegistryAccessor &R) { R.WriteInteger("StopBits", 2); },
         "StopBits"},
        {"absent custom rate", [](TRegistryAccessor &R) { R.DeleteValue("CustomBaudRate"); },
         "CustomBaudRate"},
        {"text custom rate", [](TRegistryAccessor &R) { R.WriteString("CustomBaudRate", "1"); },
         "CustomBaudRate"},
    };
    for (const auto &C : Cases) {
        SCOPED_TRACE(C.Why);
        TComPort Source{Driver};
        Source.SetPort("COM2");
        Source.SetBaudRate(brCustom);
        Source.SetCustomBaudRate(31250);
        Source.SetStopBits(sbTwoStopBits);
        Source.SetDataBits(dbSix);
        TRegistryAccessor Reg;
        Source.SaveToRegistry(Reg);
        C.Spoil(Reg);

        TComPort Target{Driver};
        try {
            Target.LoadFromRegistry(Reg);
            ADD_FAILURE() << "loaded";
        } catch (const ERegistryError &E) {
            EXPECT_EQ(E.Kind(), ERegistryError::rkRead);
            EXPECT_EQ(E.ValueName(), C.FailingKey);
        }
        EXPECT_EQ(Target.Port(), "COM2"); // loaded before the failure
        EXPECT_EQ(Target.BaudRate(), brCustom);
        EXPECT_EQ(Target.DataBits(), dbEight); // never reached
    }

    TFailingRegistry Failing;
    EXPECT_THROW(Port.SaveToRegistry(Failing), ERegistryError);
    EXPECT_EQ(Failing.ValueNames(), (Names{"Port", "BaudRate", "StopBits"}));
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
