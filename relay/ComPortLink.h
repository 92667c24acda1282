// The controller's few calls into the port component, kept in one place so the controller
// itself needs only a forward declaration of TCustomComPort. Each call lets the port's EComPort
// through unchanged; deciding what to do with it is the controller's business.
#pragma once

#include <string>

class TCustomComPort;

// Writes the command bytes as they are, with nothing appended, and returns when they are sent.
void PortWriteText(TCustomComPort &Port, const std::string &Bytes);

// The board runs at 4800 baud, 8 data bits, no parity, one stop bit, whatever the setup dialog
// chose: applies those in that order, names the port, then opens it. A step that throws leaves
// the earlier ones applied.
void PortSetBoardLineAndOpen(TCustomComPort &Port, const std::string &PortName);

// True when the operator accepted the dialog.
bool PortRunSetupDialog(TCustomComPort &Port);
