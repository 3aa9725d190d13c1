#pragma once
#define IDI_ORDANE 1
#define IDB_BACKGROUND 101
