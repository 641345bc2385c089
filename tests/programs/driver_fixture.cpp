// A small window for checking the UI driver itself: named controls of each kind
// the program uses, a list view with check boxes, a message box behind a button,
// and WM_USER handling. Every action it sees is written to the label LabelLog,
// which the driver reads back.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0A00
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kClass[] = L"QvDriverFixture";
constexpr wchar_t kPanelClass[] = L"QvDriverFixturePanel";

enum : int { kIdOk = 101, kIdAsk, kIdOff, kIdDrawn, kIdDupA, kIdDupB, kIdList };

HWND g_log = nullptr;
int g_clicks = 0;
std::vector<ATOM> g_atoms;

void Log(const std::wstring& s) { SetWindowTextW(g_log, s.c_str()); }

void Name(HWND h, const wchar_t* name) {
  ATOM atom = GlobalAddAtomW(name);
  g_atoms.push_back(atom);
  SetPropW(h, L"QvName", reinterpret_cast<HANDLE>(static_cast<UINT_PTR>(atom)));
}

HWND Child(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int x, int y, int w, int h, int id,
           const wchar_t* name) {
  HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  if (name) Name(c, name);
  return c;
}

void AddColumn(HWND lv, int index, const wchar_t* text, int width) {
  LVCOLUMNW col{};
  col.mask = LVCF_TEXT | LVCF_WIDTH;
  col.pszText = const_cast<wchar_t*>(text);
  col.cx = width;
  SendMessageW(lv, LVM_INSERTCOLUMNW, index, reinterpret_cast<LPARAM>(&col));
}

void AddRow(HWND lv, int row, const wchar_t* caption, const wchar_t* sub, bool checked) {
  LVITEMW it{};
  it.mask = LVIF_TEXT;
  it.iItem = row;
  it.pszText = const_cast<wchar_t*>(caption);
  SendMessageW(lv, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&it));
  it.iSubItem = 1;
  it.pszText = const_cast<wchar_t*>(sub);
  SendMessageW(lv, LVM_SETITEMTEXTW, row, reinterpret_cast<LPARAM>(&it));
  ListView_SetCheckState(lv, row, checked);
}

void Build(HWND w) {
  g_log = Child(w, L"STATIC", L"ready", 0, 10, 10, 300, 20, 0, L"LabelLog");
  Child(w, L"BUTTON", L"확인", BS_PUSHBUTTON, 10, 40, 80, 25, kIdOk, L"BtnOk");
  Child(w, L"BUTTON", L"묻기", BS_PUSHBUTTON, 100, 40, 80, 25, kIdAsk, L"BtnAsk");
  EnableWindow(Child(w, L"BUTTON", L"꺼짐", BS_PUSHBUTTON, 190, 40, 80, 25, kIdOff, L"BtnOff"), FALSE);
  Child(w, L"BUTTON", L"&Drawn", BS_OWNERDRAW, 280, 40, 80, 25, kIdDrawn, L"BtnDrawn");

  // Two panels holding a control of the same name, as the program's main window
  // and its Reset page both hold a BtnClean.
  HWND a = Child(w, kPanelClass, L"", 0, 10, 75, 170, 35, 0, L"PanelA");
  Child(a, L"BUTTON", L"A", BS_PUSHBUTTON, 5, 5, 60, 25, kIdDupA, L"BtnDup");
  HWND b = Child(w, kPanelClass, L"", 0, 190, 75, 170, 35, 0, L"PanelB");
  HWND inner = Child(b, kPanelClass, L"", 0, 0, 0, 170, 35, 0, nullptr);
  Child(inner, L"BUTTON", L"B", BS_PUSHBUTTON, 5, 5, 60, 25, kIdDupB, L"BtnDup");

  HWND list = Child(w, L"LISTBOX", L"", WS_BORDER, 10, 300, 150, 60, 0, L"ListNames");
  for (const wchar_t* s : {L"alg.exe*", L"", L"%SystemRoot%\\System32\\csrss.exe", L"우리은행 보안 로그 수집기"})
    SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s));
  ShowWindow(list, SW_HIDE);

  HWND lv = Child(w, WC_LISTVIEWW, L"", LVS_REPORT | LVS_SHOWSELALWAYS | WS_BORDER, 10, 120, 360, 170, kIdList,
                  L"ListApp");
  SendMessageW(lv, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_CHECKBOXES | LVS_EX_FULLROWSELECT);
  AddColumn(lv, 0, L"이름", 200);
  AddColumn(lv, 1, L"Path", 150);
  AddRow(lv, 0, L"AnySign4PC", L"C:\\Program Files\\AnySign", true);
  AddRow(lv, 1, L"스마트 모바일 사인", L"", false);
  AddRow(lv, 2, L"tab\there", L"x", true);
}

LRESULT CALLBACK PanelProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_COMMAND) return SendMessageW(GetParent(w), msg, wp, lp);
  return DefWindowProcW(w, msg, wp, lp);
}

LRESULT CALLBACK WndProc(HWND w, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE:
      Build(w);
      Log(L"ready");  // setting up the list view logged its check boxes
      return 0;
    case WM_COMMAND:
      if (HIWORD(wp) == BN_CLICKED) {
        int id = LOWORD(wp);
        if (id == kIdOk) Log(L"clicked " + std::to_wstring(++g_clicks));
        if (id == kIdAsk) {
          Log(L"asking");
          int r = MessageBoxW(w, L"첫째 줄\r\r둘째 줄", L"픽스처 질문", MB_YESNO | MB_SYSTEMMODAL);
          Log(L"answer " + std::to_wstring(r));
        }
        if (id == kIdOff) Log(L"disabled button clicked");
        if (id == kIdDrawn) Log(L"drawn clicked");
        if (id == kIdDupA) Log(L"dup A");
        if (id == kIdDupB) Log(L"dup B");
      }
      return 0;
    case WM_DRAWITEM: {
      auto* d = reinterpret_cast<DRAWITEMSTRUCT*>(lp);
      FillRect(d->hDC, &d->rcItem, GetSysColorBrush(COLOR_BTNFACE));
      DrawTextW(d->hDC, L"Drawn", -1, &d->rcItem, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
      return TRUE;
    }
    case WM_NOTIFY: {
      auto* h = reinterpret_cast<NMHDR*>(lp);
      if (h->idFrom != kIdList) break;
      if (h->code == NM_DBLCLK) {
        Log(L"dblclick row " + std::to_wstring(reinterpret_cast<NMITEMACTIVATE*>(lp)->iItem));
      } else if (h->code == LVN_ITEMCHANGED) {
        auto* n = reinterpret_cast<NMLISTVIEW*>(lp);
        if ((n->uChanged & LVIF_STATE) && ((n->uNewState ^ n->uOldState) & LVIS_STATEIMAGEMASK) && n->uOldState)
          Log(L"row " + std::to_wstring(n->iItem) + L" check " +
              std::to_wstring(((n->uNewState & LVIS_STATEIMAGEMASK) >> 12) - 1));
      }
      return 0;
    }
    case WM_USER:
      if (wp == 1) ShowWindow(w, SW_RESTORE);
      if (wp == 2) DestroyWindow(w);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
  }
  return DefWindowProcW(w, msg, wp, lp);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int) {
  // Linked without comctl32's import library: loading it registers its classes.
  HMODULE comctl = LoadLibraryW(L"comctl32.dll");
  if (!comctl) return 3;

  WNDCLASSW wc{};
  wc.lpfnWndProc = WndProc;
  wc.hInstance = instance;
  wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = GetSysColorBrush(COLOR_WINDOW);
  wc.lpszClassName = kClass;
  RegisterClassW(&wc);
  wc.lpfnWndProc = PanelProc;
  wc.lpszClassName = kPanelClass;
  RegisterClassW(&wc);

  HWND w = CreateWindowExW(0, kClass, L"드라이버 픽스처", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                           CW_USEDEFAULT, CW_USEDEFAULT, 400, 420, nullptr, nullptr, instance, nullptr);
  if (!w) return 4;
  ShowWindow(w, SW_SHOWNORMAL);
  MSG m;
  while (GetMessageW(&m, nullptr, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  for (ATOM a : g_atoms) GlobalDeleteAtom(a);
  FreeLibrary(comctl);
  return 7;  // not 0, so that a test can tell the exit code really arrives
}
