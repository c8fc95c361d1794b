#pragma once
// The one piece of a message box each platform draws itself.
#include "platform/Runtime.h"

// Shows request as the system's modal box and returns the button pressed.
MsgBoxResult ShowSystemBox(const MsgBoxRequest& request);
