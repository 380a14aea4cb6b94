// The File and Help menus: Debug (with its check mark), Exit, and the About box.
#include "app/main_window_win.h"

#include "link/link_state.h"
#include "res/resource.h"

namespace {

INT_PTR CALLBACK AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG: return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        return FALSE;
    default: return FALSE;
    }
}

} // namespace

LRESULT OnAboutCommand() {
    DialogBoxW(appInstance, MAKEINTRESOURCEW(IDD_ABOUTBOX), mainWindow, AboutDlgProc);
    return 0;
}

LRESULT OnExitCommand() {
    SendMessageW(mainWindow, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(mainWindow));
    SendMessageW(mainWindow, WM_CLOSE, 0, 0);
    // WM_CLOSE has destroyed the window already; this is then a no-op that fails quietly.
    DestroyWindow(mainWindow);
    return 0;
}

LRESULT OnDebugCommand() {
    StoreFlag(LinkState.debugLog, LoadFlag(LinkState.debugLog) ? 0 : 1);
    return 0;
}

LRESULT OnInitMenuPopup(HMENU menu) {
    CheckMenuItem(menu, CMD_DEBUG,
                  MF_BYCOMMAND | (LoadFlag(LinkState.debugLog) ? MF_CHECKED : MF_UNCHECKED));
    return 0;
}
