// The camera's controls, one row each: name, property, access, range, sign,
// type, whether it does anything and whether user interfaces offer it. The
// client publishes the rows as ControlInfo and applies the value rule; the
// tool, the viewer and the element read them and keep no lists of their own.
#pragma once

#include <cstdint>
#include <vector>

#include "client/camera.h"

namespace norvik {

// Every control, in the order the tool lists them.
const std::vector<ControlInfo>& ControlTable();

// Throws Error(InvalidArgument) when `control` cannot be set to `value`:
// read-only, negative where the driver reads it unsigned, outside its
// range, or a switch given other than 0 or 1.
void CheckControlValue(const ControlInfo& control, int32_t value);

}  // namespace norvik
