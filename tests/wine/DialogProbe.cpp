// Drives the Windows dialog program from outside, as a user and a screen
// reader would: starts it, finds its window and controls by their ids,
// reads and checks what they show, clicks, types, answers message boxes,
// presses keys and takes a picture of the window. Runs under Wine in the
// same virtual desktop as the dialog.
//
// Usage: dialog-probe OUTPUT_FILE STEP...   (each STEP is one argument,
// words separated by '|'). Every step writes one line to OUTPUT_FILE; a
// check that fails writes "FAIL: ..."; the last line is "RESULT PASS" or
// "RESULT FAIL n". The output goes to a file because a program started in
// a Wine virtual desktop has no terminal.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

FILE* g_out = nullptr;
int g_failures = 0;
HWND g_dialog = nullptr;
PROCESS_INFORMATION g_program{};
ULONGLONG g_startedMs = 0;  // when the program was started

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(g_out, format, args);
    va_end(args);
    std::fputc('\n', g_out);
    std::fflush(g_out);
}

void Fail(const std::string& what) {
    ++g_failures;
    Say("FAIL: %s", what.c_str());
}

std::wstring Widen(const std::string& s) {
    std::wstring w(s.size() + 1, L'\0');
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), static_cast<int>(w.size()));
    w.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return w;
}

std::string Narrow(const std::wstring& w) {
    std::string s(w.size() * 4 + 1, '\0');
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), static_cast<int>(s.size()), nullptr,
                                        nullptr);
    s.resize(n > 0 ? static_cast<size_t>(n - 1) : 0);
    return s;
}

std::vector<std::string> Split(const std::string& step) {
    std::vector<std::string> words;
    size_t start = 0;
    for (;;) {
        const size_t bar = step.find('|', start);
        words.push_back(step.substr(start, bar - start));
        if (bar == std::string::npos) return words;
        start = bar + 1;
    }
}

// Text of a window of another process: WM_GETTEXT is marshalled for it.
std::string TextOf(HWND hwnd) {
    wchar_t buffer[2048] = {};
    DWORD_PTR copied = 0;
    ::SendMessageTimeoutW(hwnd, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 30000, &copied);
    return Narrow(buffer);
}

HWND Control(int id) {
    HWND item = ::GetDlgItem(g_dialog, id);
    if (!item) Fail("no control " + std::to_string(id));
    return item;
}

HWND WaitForWindow(const std::wstring& title, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if (HWND hwnd = ::FindWindowW(nullptr, title.c_str()); hwnd && ::IsWindowVisible(hwnd)) return hwnd;
        ::Sleep(50);
    }
    return nullptr;
}

struct CBoxSearch {
    std::wstring prefix;
    HWND found = nullptr;
};

BOOL CALLBACK FindBox(HWND hwnd, LPARAM lParam) {
    auto* search = reinterpret_cast<CBoxSearch*>(lParam);
    wchar_t cls[64] = {};
    ::GetClassNameW(hwnd, cls, 64);
    if (std::wstring(cls) != L"#32770" || hwnd == g_dialog || !::IsWindowVisible(hwnd)) return TRUE;
    const int length = ::GetWindowTextLengthW(hwnd);
    std::wstring title(static_cast<size_t>(length) + 1, L'\0');
    ::GetWindowTextW(hwnd, title.data(), length + 1);
    if (title.compare(0, search->prefix.size(), search->prefix) != 0) return TRUE;
    search->found = hwnd;
    return FALSE;
}

// A message box or other dialog of the program (class #32770) whose title
// begins with `title` (a box's caption may end in CR LF), once it is up;
// null, and said, when it is not up within the time given.
HWND WaitForBox(const std::string& title, int seconds) {
    CBoxSearch search{Widen(title)};
    for (int i = 0; i < seconds * 20 && !search.found; ++i) {
        ::EnumWindows(FindBox, reinterpret_cast<LPARAM>(&search));
        if (!search.found) ::Sleep(50);
    }
    if (!search.found) Fail("no box \"" + title + "\"");
    return search.found;
}

// Presses the box's default button and waits for it to go.
void PressOk(HWND box) {
    ::PostMessageW(box, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 200 && ::IsWindow(box); ++i) ::Sleep(25);
}

// Waits for the box, says its texts and presses its default button.
void AnswerBox(const std::string& title, const std::string& expected, int seconds) {
    HWND box = WaitForBox(title, seconds);
    if (!box) return;
    std::string text;
    for (HWND child = ::GetWindow(box, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
        wchar_t cls[64] = {};
        ::GetClassNameW(child, cls, 64);
        const bool icon = (::GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON;
        if (std::wstring(cls) == L"Static" && !icon && ::GetWindowTextLengthW(child) > 0)
            text += (text.empty() ? "" : " / ") + TextOf(child);
    }
    Say("box %s: %s", title.c_str(), text.c_str());
    if (!expected.empty() && text != expected) Fail("box \"" + title + "\" says \"" + text + "\", not \"" + expected + "\"");
    PressOk(box);
}

// The system's open-file dialog: waits for it, types `path` as the file
// name and presses Open.
void ChooseFile(const std::string& title, const std::string& path, int seconds) {
    HWND chooser = WaitForBox(title, seconds);
    if (!chooser) return;
    // The file name box: a combo box (id cmb13) holding an edit, or an
    // edit alone (id edt1), by the dialog's style.
    HWND name = ::GetDlgItem(chooser, 0x47C);
    if (name) {
        if (HWND edit = ::FindWindowExW(name, nullptr, L"Edit", nullptr)) name = edit;
    } else {
        name = ::GetDlgItem(chooser, 0x480);
    }
    if (!name) {
        Fail("the open-file dialog has no file name box");
        return;
    }
    const std::wstring text = Widen(path);
    ::SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    PressOk(chooser);
    if (::IsWindow(chooser)) {
        std::string ids;
        for (HWND c = ::GetWindow(chooser, GW_CHILD); c; c = ::GetWindow(c, GW_HWNDNEXT)) {
            wchar_t cls[64] = {};
            ::GetClassNameW(c, cls, 64);
            ids += " " + std::to_string(::GetDlgCtrlID(c)) + ":" + Narrow(cls) + ":" + TextOf(c);
        }
        Fail("the open-file dialog stays open; its controls:" + ids);
        return;
    }
    Say("chose %s", path.c_str());
}

// Dialog base units from the client area, which is the template's 699 by
// 330 dialog units: the one integer pair that gives its size in pixels.
bool BaseUnits(int* baseX, int* baseY) {
    RECT client;
    ::GetClientRect(g_dialog, &client);
    *baseX = *baseY = 0;
    for (int b = 1; b < 64; ++b) {
        if (::MulDiv(699, b, 4) == client.right) *baseX = b;
        if (::MulDiv(330, b, 8) == client.bottom) *baseY = b;
    }
    return *baseX && *baseY;
}

void CheckRect(int id, int x, int y, int w, int h) {
    HWND item = Control(id);
    int bx = 0, by = 0;
    if (!item || !BaseUnits(&bx, &by)) {
        if (item) Fail("the client area is not 699 by 330 dialog units");
        return;
    }
    RECT r;
    ::GetWindowRect(item, &r);
    ::MapWindowPoints(nullptr, g_dialog, reinterpret_cast<POINT*>(&r), 2);
    const int expected[4] = {::MulDiv(x, bx, 4), ::MulDiv(y, by, 8), ::MulDiv(w, bx, 4), ::MulDiv(h, by, 8)};
    const int actual[4] = {r.left, r.top, r.right - r.left, r.bottom - r.top};
    for (int i = 0; i < 4; ++i)
        if (std::abs(expected[i] - actual[i]) > 1) {
            char what[160];
            std::snprintf(what, sizeof what, "control %d at %ld,%ld %ldx%ld px, template says %d,%d %dx%d", id, r.left,
                          r.top, r.right - r.left, r.bottom - r.top, expected[0], expected[1], expected[2], expected[3]);
            Fail(what);
            return;
        }
}

// The window as it is on the screen, as a 24-bit BMP file.
void Shot(const std::string& file) {
    RECT r;
    ::GetWindowRect(g_dialog, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = w;
    info.bmiHeader.biHeight = h;  // bottom-up, as BMP files keep it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    ::GdiFlush();
    const DWORD stride = static_cast<DWORD>((w * 3 + 3) & ~3);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + stride * static_cast<DWORD>(h);
    if (FILE* f = _wfopen(Widen(file).c_str(), L"wb")) {
        std::fwrite(&header, sizeof header, 1, f);
        std::fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, f);
        std::fwrite(bits, stride, static_cast<size_t>(h), f);
        std::fclose(f);
        Say("shot %s %dx%d", file.c_str(), w, h);
    } else {
        Fail("cannot write " + file);
    }
    ::SelectObject(memory, old);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
}

void Key(WORD vk) {
    ::SetForegroundWindow(g_dialog);
    INPUT input[2] = {};
    input[0].type = input[1].type = INPUT_KEYBOARD;
    input[0].ki.wVk = input[1].ki.wVk = vk;
    input[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, input, sizeof(INPUT));
    ::Sleep(300);
}

bool Step(const std::vector<std::string>& w) {
    const std::string& verb = w[0];
    auto id = [&](size_t i) { return std::atoi(w.at(i).c_str()); };
    if (verb == "start") {  // start|COMMAND LINE
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring command = Widen(w.at(1));
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &g_program)) {
            Fail("cannot start " + w.at(1));
            return false;
        }
        g_startedMs = ::GetTickCount64();
        Say("started");
    } else if (verb == "window") {  // window|TITLE|SECONDS
        g_dialog = WaitForWindow(Widen(w.at(1)), id(2));
        if (!g_dialog) {
            Fail("no window \"" + w.at(1) + "\"");
            return false;
        }
        int bx = 0, by = 0;
        BaseUnits(&bx, &by);
        Say("window found, dialog base units %d %d, %llu ms after the start", bx, by,
            static_cast<unsigned long long>(::GetTickCount64() - g_startedMs));
    } else if (verb == "text") {  // text|ID[|EXPECTED]
        HWND item = id(1) == 0 ? g_dialog : Control(id(1));
        if (!item) return true;
        // A posted click's handler may still be on its way: the text gets a
        // few seconds to arrive.
        std::string text = TextOf(item);
        for (int i = 0; i < 100 && w.size() > 2 && text != w[2]; ++i) {
            ::Sleep(50);
            text = TextOf(item);
        }
        Say("%d: %s", id(1), text.c_str());
        if (w.size() > 2 && text != w[2]) Fail("control " + w[1] + " shows \"" + text + "\", not \"" + w[2] + "\"");
    } else if (verb == "enabled") {  // enabled|ID|0 or 1
        if (HWND item = Control(id(1)); item && (::IsWindowEnabled(item) ? 1 : 0) != id(2))
            Fail("control " + w[1] + (id(2) ? " is disabled" : " is enabled"));
    } else if (verb == "checked") {  // checked|ID|0 or 1
        if (HWND item = Control(id(1))) {
            const LRESULT state = ::SendMessageW(item, BM_GETCHECK, 0, 0);
            if ((state == BST_CHECKED ? 1 : 0) != id(2)) Fail("control " + w[1] + (id(2) ? " is unchecked" : " is checked"));
        }
    } else if (verb == "class") {  // class|ID|CLASS|STYLE BITS (hex) that must be set
        if (HWND item = Control(id(1))) {
            wchar_t cls[64] = {};
            ::GetClassNameW(item, cls, 64);
            const DWORD style = static_cast<DWORD>(::GetWindowLongW(item, GWL_STYLE));
            const DWORD want = static_cast<DWORD>(std::strtoul(w.at(3).c_str(), nullptr, 16));
            if (Narrow(cls) != w.at(2)) Fail("control " + w[1] + " is a " + Narrow(cls) + ", not a " + w[2]);
            if ((style & want) != want) Fail("control " + w[1] + " lacks style bits " + w[3]);
        }
    } else if (verb == "rect") {  // rect|ID|X|Y|W|H in dialog units
        CheckRect(id(1), id(2), id(3), id(4), id(5));
    } else if (verb == "range") {  // range|ID|LOWER|UPPER|POS
        if (HWND item = Control(id(1))) {
            const int lower = static_cast<int>(::SendMessageW(item, PBM_GETRANGE, TRUE, 0));
            const int upper = static_cast<int>(::SendMessageW(item, PBM_GETRANGE, FALSE, 0));
            const int pos = static_cast<int>(::SendMessageW(item, PBM_GETPOS, 0, 0));
            Say("%d: range %d..%d at %d", id(1), lower, upper, pos);
            if (lower != id(2) || upper != id(3) || pos != id(4)) Fail("progress bar " + w[1] + " range or position");
        }
    } else if (verb == "ip") {  // ip|ID|a.b.c.d: the control's four fields, left to right
        if (HWND item = Control(id(1))) {
            std::vector<std::pair<LONG, std::string>> fields;
            for (HWND f = ::FindWindowExW(item, nullptr, L"Edit", nullptr); f; f = ::FindWindowExW(item, f, L"Edit", nullptr)) {
                RECT r;
                ::GetWindowRect(f, &r);
                fields.emplace_back(r.left, TextOf(f));
            }
            std::sort(fields.begin(), fields.end());
            std::string text;
            for (const auto& f : fields) text += (text.empty() ? "" : ".") + f.second;
            Say("%d: %s", id(1), text.c_str());
            if (w.at(2) != text) Fail("the IP-address control shows " + text + ", not " + w[2]);
        }
    } else if (verb == "click") {  // click|ID: returns when the handler has
        if (HWND item = Control(id(1))) {
            DWORD_PTR result = 0;
            if (!::SendMessageTimeoutW(item, BM_CLICK, 0, 0, SMTO_NORMAL, 120000, &result)) Fail("click " + w[1] + " timed out");
        }
    } else if (verb == "post-click") {  // post-click|ID: for handlers that open a box
        if (HWND item = Control(id(1))) ::PostMessageW(item, BM_CLICK, 0, 0);
    } else if (verb == "settext") {  // settext|ID|TEXT
        if (HWND item = Control(id(1))) {
            const std::wstring text = Widen(w.at(2));
            ::SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        }
    } else if (verb == "focus") {  // focus|ID
        if (HWND item = Control(id(1))) ::SendMessageW(g_dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(item), TRUE);
    } else if (verb == "key") {  // key|VK (decimal)
        Key(static_cast<WORD>(id(1)));
    } else if (verb == "box") {  // box|TITLE|EXPECTED TEXT|SECONDS
        AnswerBox(w.at(1), w.at(2), w.size() > 3 ? id(3) : 30);
    } else if (verb == "choose") {  // choose|TITLE|PATH|SECONDS
        ChooseFile(w.at(1), w.at(2), w.size() > 3 ? id(3) : 30);
    } else if (verb == "sysmenu") {  // sysmenu|COMMAND (decimal)
        ::PostMessageW(g_dialog, WM_SYSCOMMAND, static_cast<WPARAM>(id(1)), 0);
    } else if (verb == "alive") {  // alive|0 or 1
        if ((::IsWindow(g_dialog) ? 1 : 0) != id(1)) Fail(id(1) ? "the dialog has closed" : "the dialog is still open");
    } else if (verb == "sleep") {
        ::Sleep(static_cast<DWORD>(id(1)));
    } else if (verb == "shot") {
        Shot(w.at(1));
    } else if (verb == "close") {  // close|EXPECTED EXIT CODE
        ::PostMessageW(g_dialog, WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(g_program.hProcess, 30000) != WAIT_OBJECT_0) {
            Fail("the program did not end after WM_CLOSE");
            ::TerminateProcess(g_program.hProcess, 99);
            return false;
        }
        DWORD code = 0;
        ::GetExitCodeProcess(g_program.hProcess, &code);
        Say("ended with %lu", code);
        if (static_cast<int>(code) != id(1)) Fail("exit code " + std::to_string(code));
    } else {
        Fail("unknown step " + verb);
        return false;
    }
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) return 2;
    g_out = _wfopen(argv[1], L"w");
    if (!g_out) return 2;
    for (int i = 2; i < argc; ++i) {
        const std::vector<std::string> words = Split(Narrow(argv[i]));
        if (!Step(words)) break;
    }
    // Whatever happened, the program does not outlive the probe.
    if (g_program.hProcess && ::WaitForSingleObject(g_program.hProcess, 0) == WAIT_TIMEOUT) {
        ::TerminateProcess(g_program.hProcess, 99);
        Fail("the program was still running and was ended");
    }
    if (g_failures)
        Say("RESULT FAIL %d", g_failures);
    else
        Say("RESULT PASS");
    std::fclose(g_out);
    return g_failures ? 1 : 0;
}
