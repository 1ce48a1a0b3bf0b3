#pragma once

// The MIDI port component: one input and one output port object. The program
// drives them only by writing members and command codes and by answering
// their Message and PortError events, all on the UI thread. The PortError
// codes and what each means are PortErrorCode, in port_error.h.

#include "input_port.h"
#include "output_port.h"
