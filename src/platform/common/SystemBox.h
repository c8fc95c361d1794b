#pragma once
// The pieces of a message box and of a restart with administrator rights each platform
// does itself.
#include "platform/Runtime.h"

// Shows request as the system's modal box and returns the button pressed.
MsgBoxResult ShowSystemBox(const MsgBoxRequest& request);

// True where the system can start a program with administrator rights.
bool SystemCanElevate();
// The request that starts this very program again with administrator rights.
RestartRequest ElevationRequest();
// Starts the request's program with its verb; "" or the system's reason.
std::string StartElevated(const RestartRequest& request);
