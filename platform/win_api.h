// The Windows user-interface and system calls the module uses. On Windows
// this is <windows.h>; elsewhere the same declarations are served by the
// stand-in library in platform/standin, which models the dialogs and controls
// in memory and lets a host act as the user.
#pragma once

#if defined(_WIN32)

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>

#else

#include <cstdint>

extern "C" {

typedef int BOOL;
typedef unsigned int UINT;
typedef std::uintptr_t WPARAM;
typedef std::intptr_t LPARAM;
typedef std::intptr_t LRESULT;
typedef std::intptr_t INT_PTR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef struct StandinWindow* HWND;
typedef struct StandinInstance* HINSTANCE;
typedef INT_PTR (*DLGPROC)(HWND, UINT, WPARAM, LPARAM);

#define TRUE 1
#define FALSE 0
#define CALLBACK
#define WINAPI

#define MAKEINTRESOURCEA(id) (reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(id)))
#define LOWORD(x) (static_cast<unsigned short>(static_cast<std::uintptr_t>(x) & 0xFFFF))
#define HIWORD(x) (static_cast<unsigned short>((static_cast<std::uintptr_t>(x) >> 16) & 0xFFFF))

enum : UINT {
    WM_INITDIALOG = 0x0110,
    WM_COMMAND = 0x0111,
    WM_VSCROLL = 0x0115,
    WM_USER = 0x0400,
    TBM_GETPOS = WM_USER,
    TBM_SETPOS = WM_USER + 5,
    TBM_SETRANGEMIN = WM_USER + 7,
    TBM_SETRANGEMAX = WM_USER + 8,
    TBM_SETTICFREQ = WM_USER + 20,
    BM_GETCHECK = 0x00F0,
    BM_SETCHECK = 0x00F1,
};
enum : int { IDOK = 1, IDCANCEL = 2 };
enum : int { BST_UNCHECKED = 0, BST_CHECKED = 1 };
enum : int { TB_THUMBPOSITION = 4, TB_ENDTRACK = 8 };
enum : UINT { MB_OK = 0 };

INT_PTR DialogBoxParamA(HINSTANCE instance, LPCSTR templateName, HWND owner, DLGPROC procedure,
                        LPARAM initParam);
BOOL EndDialog(HWND dialog, INT_PTR result);
HWND GetDlgItem(HWND dialog, int id);
int GetDlgCtrlID(HWND control);
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT SendDlgItemMessageA(HWND dialog, int id, UINT message, WPARAM wParam, LPARAM lParam);
BOOL SetDlgItemTextA(HWND dialog, int id, LPCSTR text);
HWND GetLastActivePopup(HWND window);
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);

}  // extern "C"

#endif
