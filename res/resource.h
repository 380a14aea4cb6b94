// Resource and command identifiers, shared by the resource script and the program.
#pragma once

#define IDS_APP_TITLE 103     // "Tarvex", the window title
#define IDD_ABOUTBOX 103      // the About dialog
#define IDI_TARVEX 108        // the class's small icon (eight images)
#define IDS_CLASS_NAME 109    // "TARVEX", the window class name
#define IDC_TARVEX 109        // the main menu and the accelerator table
#define IDI_TARVEX_LARGE 129  // the class's large icon

#define CMD_ABOUT 104
#define CMD_EXIT 105
#define TICK_TIMER_ID 110
#define CMD_SAVE_LOG 111
#define CMD_PAUSE 112
#define CMD_DEBUG 32771

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
