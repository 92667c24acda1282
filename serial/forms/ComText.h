// The fixed text forms of the port settings.
//
// The setup dialog fills its lists with these texts and turns the operator's choice back into a
// setting; the port's save and load operations (ComStorage.h) store settings in the same forms.
// The texts are fixed English words and numbers that never pass through the message catalogues:
// they are a storage format as much as a display.
//
// Parsing never fails. Letter case is ignored for ASCII letters only and nothing is trimmed; a text
// that matches no entry gives the type's fall-back value (br9600, sbOneStopBit, dbEight, prNone,
// fcCustom, dtrDisable, rtsDisable, false).
#pragma once

#include "serial/port/ComTypes.h"

#include <string>
#include <string_view>

std::string BaudRateToText(TBaudRate Value);
std::string StopBitsToText(TStopBits Value);
std::string DataBitsToText(TDataBits Value);
std::string ParityToText(TParityBits Value);
std::string FlowControlToText(TFlowControl Value);
std::string DTRToText(TDTRFlowControl Value);
std::string RTSToText(TRTSFlowControl Value);
// "Yes" or "No".
std::string BoolToText(bool Value);

TBaudRate TextToBaudRate(std::string_view Text);
TStopBits TextToStopBits(std::string_view Text);
TDataBits TextToDataBits(std::string_view Text);
TParityBits TextToParity(std::string_view Text);
TFlowControl TextToFlowControl(std::string_view Text);
TDTRFlowControl TextToDTR(std::string_view Text);
TRTSFlowControl TextToRTS(std::string_view Text);
// True only for "yes" in any ASCII letter case.
bool TextToBool(std::string_view Text);

// Codes 33 to 127 as the character itself, every other code as "#" and the code in decimal, so
// the text is always printable ASCII.
std::string CharToText(char Value);
// The reverse of CharToText: "" gives code 0; "#" followed by an optional sign and decimal digits
// gives the low 8 bits of that number, and code 0 for anything else after the "#" or a number
// outside the signed 32-bit range; any other text gives its first byte ("#" alone gives "#").
char TextToChar(std::string_view Text);

// Equal texts when ASCII letters a to z are taken as upper case; other bytes must match exactly.
bool SameAsciiText(std::string_view A, std::string_view B);
