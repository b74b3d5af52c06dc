// A dialog template read from the program's resource script, the one place
// its controls' geometry is written: the resource compiler builds the
// Windows dialog from it, and toolkits without resources lay their widgets
// out from what this reads.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

struct CTemplateControl {
    std::string type;         // GROUPBOX, PUSHBUTTON, EDITTEXT, LTEXT, RTEXT, CTEXT, ICON, CONTROL...
    std::string text;         // the caption; empty for an edit
    std::string idName;       // as written: IDC_SAVE_IP, IDC_STATIC
    int id = -1;              // its value; -1 for IDC_STATIC or a name the ids do not define
    std::string windowClass;  // CONTROL's class: "Button", "msctls_progress32", "SysIPAddress32"
    std::set<std::string> styles;
    int x = 0, y = 0, w = 0, h = 0;  // dialog units

    bool Has(const char* style) const { return styles.count(style) != 0; }
};

struct CDialogTemplate {
    std::string caption;
    int w = 0, h = 0;
    std::vector<CTemplateControl> controls;
};

// Dialog `name` of a resource script (one statement a line between its
// BEGIN and END), its ids resolved through the "#define NAME NUMBER" lines
// of `idHeader`. Nothing when the script has no such dialog or a statement
// cannot be read.
std::optional<CDialogTemplate> ParseDialogTemplate(const std::string& script, const std::string& name,
                                                   const std::string& idHeader);
