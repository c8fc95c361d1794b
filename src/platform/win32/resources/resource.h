#pragma once
// Resource ids, shared by the resource script and the code that loads them.
#define IDI_MERVO 1
#define IDB_BANNER 101
