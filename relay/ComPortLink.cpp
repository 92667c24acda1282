// Placeholder until the port component lands: no TCustomComPort can exist yet, so nothing can
// reach these.
#include "relay/ComPortLink.h"

#include <stdexcept>

void PortWriteText(TCustomComPort &, const std::string &) {
    throw std::logic_error("no port component");
}

void PortSetBoardLineAndOpen(TCustomComPort &, const std::string &) {
    throw std::logic_error("no port component");
}

void PortRunSetupDialog(TCustomComPort &) {
    throw std::logic_error("no port component");
}
