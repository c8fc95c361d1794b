#pragma once
// The pieces of the window system each platform does itself: its window, a message box, a
// restart with administrator rights.
#include "platform/Controls.h"
#include "platform/Runtime.h"

// A window of the system's own controls.
std::unique_ptr<Window> NewSystemWindow(const std::string& name);

// Shows request as the system's modal box and returns the button pressed.
MsgBoxResult ShowSystemBox(const MsgBoxRequest& request);

// True where the system can start a program with administrator rights.
bool SystemCanElevate();
// The request that starts this very program again with administrator rights.
RestartRequest ElevationRequest();
// Starts the request's program with its verb; "" or the system's reason.
std::string StartElevated(const RestartRequest& request);
