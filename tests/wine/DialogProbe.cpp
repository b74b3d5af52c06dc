// Drives the Windows dialog program from outside, as a user and a screen
// reader would: starts it, finds its window and controls by their ids,
// reads and checks what they show, clicks, types and answers message
// boxes. Runs under Wine in the same virtual desktop as the dialog.
//
// Usage: dialog-probe OUTPUT_FILE STEP...   (each STEP is one argument,
// words separated by '|'). Every step writes one line to OUTPUT_FILE; a
// check that fails writes "FAIL: ..."; the last line is "RESULT PASS" or
// "RESULT FAIL n". The output goes to a file because a program started in
// a Wine virtual desktop has no terminal.
#include <windows.h>

#include <commctrl.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

FILE* g_out = nullptr;
int g_failures = 0;
HWND g_dialog = nullptr;
PROCESS_INFORMATION g_program{};

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

// A message box or other dialog of the program (class #32770) whose title
// begins with `title` (a box's caption may end in CR LF), once it is up;
// null, and said, when it is not up within the time given.
HWND WaitForBox(const std::string& title, int seconds) {
    for (int i = 0; i < seconds * 20; ++i, ::Sleep(50))
        for (HWND h = nullptr; (h = ::FindWindowExW(nullptr, h, L"#32770", nullptr)) != nullptr;)
            if (h != g_dialog && ::IsWindowVisible(h) && TextOf(h).compare(0, title.size(), title) == 0) return h;
    Fail("no box \"" + title + "\"");
    return nullptr;
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
    if (HWND edit = name ? ::FindWindowExW(name, nullptr, L"Edit", nullptr) : nullptr) name = edit;
    if (!name) name = ::GetDlgItem(chooser, 0x480);
    if (!name) return Fail("the open-file dialog has no file name box");
    const std::wstring text = Widen(path);
    ::SendMessageW(name, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    PressOk(chooser);
    if (::IsWindow(chooser)) return Fail("the open-file dialog stays open");
    Say("chose %s", path.c_str());
}

// Dialog base units from the client area, which is the template's 699 by
// 330 dialog units: the one integer pair that gives its size in pixels.
void BaseUnits(int* baseX, int* baseY) {
    RECT client;
    ::GetClientRect(g_dialog, &client);
    *baseX = *baseY = 0;
    for (int b = 1; b < 64; ++b) {
        if (::MulDiv(699, b, 4) == client.right) *baseX = b;
        if (::MulDiv(330, b, 8) == client.bottom) *baseY = b;
    }
}

bool Step(const std::vector<std::string>& w) {
    const std::string& verb = w[0];
    auto id = [&](size_t i) { return std::atoi(w.at(i).c_str()); };
    // The steps on a control name it by its id; a missing one is said and skipped.
    const bool onControl = verb == "click" || verb == "post-click" ||
                           verb == "settext" || (verb == "text" && id(1) != 0);
    HWND item = onControl ? Control(id(1)) : g_dialog;
    if (onControl && !item) return true;
    if (verb == "start") {  // start|COMMAND LINE
        STARTUPINFOW si{};
        si.cb = sizeof si;
        std::wstring command = Widen(w.at(1));
        if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &g_program)) {
            Fail("cannot start " + w.at(1));
            return false;
        }
    } else if (verb == "window") {  // window|TITLE|SECONDS
        for (int i = 0; i < id(2) * 20 && !g_dialog; ++i) {
            HWND hwnd = ::FindWindowW(nullptr, Widen(w.at(1)).c_str());
            if (hwnd && ::IsWindowVisible(hwnd)) g_dialog = hwnd;
            else ::Sleep(50);
        }
        if (!g_dialog) {
            Fail("no window \"" + w.at(1) + "\"");
            return false;
        }
        int bx = 0, by = 0;
        BaseUnits(&bx, &by);
        Say("window found, dialog base units %d %d", bx, by);
    } else if (verb == "text") {  // text|ID|EXPECTED (ID 0: the window)
        // A posted click's handler may still be on its way: the text gets a
        // few seconds to arrive.
        std::string text = TextOf(item);
        for (int i = 0; i < 100 && text != w.at(2); ++i) {
            ::Sleep(50);
            text = TextOf(item);
        }
        Say("%d: %s", id(1), text.c_str());
        if (text != w[2]) Fail("control " + w[1] + " shows \"" + text + "\", not \"" + w[2] + "\"");
    } else if (verb == "click") {  // click|ID: returns when the handler has
        DWORD_PTR result = 0;
        if (!::SendMessageTimeoutW(item, BM_CLICK, 0, 0, SMTO_NORMAL, 120000, &result)) Fail("click " + w[1] + " timed out");
    } else if (verb == "post-click") {  // post-click|ID: for handlers that open a box
        ::PostMessageW(item, BM_CLICK, 0, 0);
    } else if (verb == "settext") {  // settext|ID|TEXT
        const std::wstring text = Widen(w.at(2));
        ::SendMessageW(item, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    } else if (verb == "box") {  // box|TITLE|EXPECTED TEXT|SECONDS
        AnswerBox(w.at(1), w.at(2), id(3));
    } else if (verb == "choose") {  // choose|TITLE|PATH|SECONDS
        ChooseFile(w.at(1), w.at(2), id(3));
    } else if (verb == "sysmenu") {  // sysmenu|COMMAND (decimal)
        ::PostMessageW(g_dialog, WM_SYSCOMMAND, static_cast<WPARAM>(id(1)), 0);
    } else if (verb == "sleep") {
        ::Sleep(static_cast<DWORD>(id(1)));
    } else if (verb == "close") {  // close|EXPECTED EXIT CODE
        ::PostMessageW(g_dialog, WM_CLOSE, 0, 0);
        if (::WaitForSingleObject(g_program.hProcess, 30000) != WAIT_OBJECT_0) {
            Fail("the program did not end after WM_CLOSE");
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
        std::vector<std::string> words;
        std::istringstream step(Narrow(argv[i]));
        for (std::string word; std::getline(step, word, '|');) words.push_back(word);
        if (argv[i][wcslen(argv[i]) - 1] == L'|') words.emplace_back();  // a last word left empty
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
