#include "ui/DialogTemplate.h"

#include <cctype>
#include <map>
#include <sstream>

namespace {
std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(" \t\r") + 1 - a);
}

// Splits a statement's arguments at the commas outside quotes; a quoted
// argument keeps its quotes, with "" read as one quote inside.
std::vector<std::string> Arguments(const std::string& s) {
    std::vector<std::string> args(1);
    bool quoted = false;
    for (size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"' && quoted && i + 1 < s.size() && s[i + 1] == '"') {
            args.back() += '"';
            ++i;
            continue;
        }
        if (c == '"') quoted = !quoted;
        if (c == ',' && !quoted) {
            args.emplace_back();
            continue;
        }
        args.back() += c;
    }
    for (std::string& a : args) a = Trim(a);
    return args;
}

bool Quoted(const std::string& a) { return a.size() >= 2 && a.front() == '"' && a.back() == '"'; }
std::string Unquote(const std::string& a) { return Quoted(a) ? a.substr(1, a.size() - 2) : a; }

bool Number(const std::string& a, int* value) {
    if (a.empty()) return false;
    size_t i = a[0] == '-' ? 1 : 0;
    if (i == a.size()) return false;
    for (size_t k = i; k < a.size(); ++k)
        if (!std::isdigit(static_cast<unsigned char>(a[k]))) return false;
    *value = std::stoi(a);
    return true;
}

std::set<std::string> Styles(const std::string& a) {
    std::set<std::string> styles;
    std::string part;
    std::istringstream in(a);
    while (std::getline(in, part, '|'))
        if (!(part = Trim(part)).empty()) styles.insert(part);
    return styles;
}

std::map<std::string, int> Defines(const std::string& header) {
    std::map<std::string, int> ids;
    std::istringstream in(header);
    std::string line, directive, name, value;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        int v = 0;
        if (words >> directive >> name >> value && directive == "#define" && Number(value, &v)) ids[name] = v;
    }
    return ids;
}

// One statement: TYPE args. Text types are "text", id, x, y, w, h[, style];
// EDITTEXT has no text; CONTROL is "text", id, "class", style, x, y, w, h;
// ICON names its icon where the others have their text.
bool Control(const std::string& line, const std::map<std::string, int>& ids, CTemplateControl* c) {
    const size_t space = line.find_first_of(" \t");
    if (space == std::string::npos) return false;
    c->type = line.substr(0, space);
    std::vector<std::string> a = Arguments(line.substr(space + 1));
    if (c->type == "EDITTEXT") a.insert(a.begin(), "\"\"");
    size_t geometry = 2;
    if (c->type == "CONTROL") {
        if (a.size() < 8 || !Quoted(a[2])) return false;
        c->windowClass = Unquote(a[2]);
        c->styles = Styles(a[3]);
        geometry = 4;
    } else if (a.size() < 6) {
        return false;
    } else if (a.size() > 6) {
        c->styles = Styles(a[6]);
    }
    c->text = Unquote(a[0]);
    c->idName = a[1];
    const auto id = ids.find(c->idName);
    c->id = id == ids.end() ? -1 : id->second;
    return Number(a[geometry], &c->x) && Number(a[geometry + 1], &c->y) && Number(a[geometry + 2], &c->w) &&
           Number(a[geometry + 3], &c->h);
}
}  // namespace

std::optional<CDialogTemplate> ParseDialogTemplate(const std::string& script, const std::string& name,
                                                   const std::string& idHeader) {
    const std::map<std::string, int> ids = Defines(idHeader);
    std::istringstream in(script);
    std::string line;
    CDialogTemplate t;
    enum { Before, Header, Body } where = Before;
    while (std::getline(in, line)) {
        line = Trim(line);
        if (line.empty() || line.rfind("//", 0) == 0) continue;
        if (where == Before) {
            std::istringstream words(line);
            std::string first, kind;
            if (!(words >> first >> kind) || first != name || kind.rfind("DIALOG", 0) != 0) continue;
            const std::vector<std::string> a = Arguments(line.substr(line.find(kind) + kind.size()));
            if (a.size() != 4 || !Number(a[2], &t.w) || !Number(a[3], &t.h)) return std::nullopt;
            where = Header;
        } else if (where == Header) {
            if (line == "BEGIN") where = Body;
            else if (line.rfind("CAPTION", 0) == 0) t.caption = Unquote(Trim(line.substr(7)));
        } else if (line == "END") {
            return t;
        } else {
            CTemplateControl c;
            if (!Control(line, ids, &c)) return std::nullopt;
            t.controls.push_back(std::move(c));
        }
    }
    return std::nullopt;
}
