// The controller's calls into the port component (see ComPortLink.h).
#include "relay/ComPortLink.h"

#include "serial/port/ComPort.h"

void PortWriteText(TCustomComPort &Port, const std::string &Bytes) {
    // The count is not checked: a write that cannot finish raises EComPort, which is the
    // caller's to report.
    Port.WriteText(Bytes);
}

void PortSetBoardLineAndOpen(TCustomComPort &Port, const std::string &PortName) {
    // One setter at a time, each applied at once on an open port, so a refusal stops exactly at
    // the setting that the device would not take.
    Port.SetBaudRate(br4800);
    Port.SetDataBits(dbEight);
    Port.SetStopBits(sbOneStopBit);
    Port.Parity().SetBits(prNone);
    Port.SetPort(PortName);
    Port.OpenPort();
}

bool PortRunSetupDialog(TCustomComPort &Port) {
    return Port.RunSetupDialog();
}
