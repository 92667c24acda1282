// The controller's state model as one short text, so test tables can give it in a column:
// "R100000 I000000 A1 T0" is relay 1 on, no input active, alarm armed, not triggered.
#pragma once

#include "relay/ReleUnit.h"

#include <string>

std::string StateOf(const TRele &Rele);
void SetState(TRele &Rele, const std::string &State);
