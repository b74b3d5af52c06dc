// Fault rules as written on the command line, and the simulator's older
// fault options as the rules they stand for.
#include "sim/UnitSimulator.h"

#include <algorithm>
#include <stdexcept>

namespace {
// "0x1021:3" or "4129:3" -> command, value (-1 without one). The whole
// text must parse: a typo must not quietly inject a different fault.
bool ParseCommandValue(const std::string& text, uint16_t* command, int* value, bool valueRequired) {
    size_t colon = text.find(':');
    std::string cmd = text.substr(0, colon);
    try {
        size_t used = 0;
        unsigned long c = std::stoul(cmd, &used, 0);
        if (used != cmd.size() || c > 0xFFFF) return false;
        *command = static_cast<uint16_t>(c);
        if (colon == std::string::npos) {
            if (valueRequired) return false;
            *value = -1;
            return true;
        }
        std::string v = text.substr(colon + 1);
        int n = std::stoi(v, &used, 10);
        if (used != v.size() || n < 0) return false;
        *value = n;
    } catch (const std::exception&) {
        return false;
    }
    return true;
}
}  // namespace

bool ParseSimRule(const std::string& text, SimRule* rule, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error) *error = "bad fault '" + text + "': " + why;
        return false;
    };
    auto number = [](const std::string& s, int base, long max, long* out) {
        if (s.empty()) return false;
        try {
            size_t used = 0;
            long v = std::stol(s, &used, base);
            if (used != s.size() || v < 0 || v > max) return false;
            *out = v;
        } catch (const std::exception&) {
            return false;
        }
        return true;
    };
    std::string body = text;
    SimRule r;
    long v = 0;
    size_t star = body.find('*');
    if (star != std::string::npos) {
        if (!number(body.substr(star + 1), 10, 1000000, &v) || v == 0) return fail("COUNT must be a number above 0");
        r.count = static_cast<int>(v);
        body.resize(star);
    }
    size_t at = body.find('@');
    if (at != std::string::npos) {
        if (!number(body.substr(at + 1), 10, 1000000, &v) || v == 0) return fail("FROM must be a number above 0");
        r.from = static_cast<int>(v);
        body.resize(at);
    }
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        size_t colon = body.find(':', start);
        parts.push_back(body.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
    }
    static const std::pair<const char*, SimRule::EKind> kinds[] = {
        {"drop", SimRule::EKind::Drop},       {"ignore", SimRule::EKind::Ignore}, {"delay", SimRule::EKind::Delay},
        {"short", SimRule::EKind::Short},     {"extra", SimRule::EKind::Extra},   {"garbage", SimRule::EKind::Garbage},
        {"close", SimRule::EKind::Close},     {"reset", SimRule::EKind::Reset},   {"exit", SimRule::EKind::Exit},
        {"noop", SimRule::EKind::Noop},       {"hangup", SimRule::EKind::Hangup}};
    bool known = false;
    for (const auto& k : kinds)
        if (parts[0] == k.first) {
            r.kind = k.second;
            known = true;
        }
    if (!known) return fail("unknown kind '" + parts[0] + "'");
    if (parts.size() < 2 || !number(parts[1], 0, 0xFFFF, &v)) return fail("CMD must be a command code");
    r.command = static_cast<uint16_t>(v);
    const bool needsValue = r.kind == SimRule::EKind::Delay || r.kind == SimRule::EKind::Short ||
                            r.kind == SimRule::EKind::Extra || r.kind == SimRule::EKind::Hangup;
    if (needsValue != (parts.size() == 3)) return fail(needsValue ? "VALUE is missing" : "takes no VALUE");
    if (parts.size() > 3) return fail("too many fields");
    if (needsValue) {
        if (!number(parts[2], 10, 600000, &v)) return fail("VALUE must be a number");
        r.value = static_cast<int>(v);
    }
    *rule = r;
    return true;
}

SimRule CloseAfterFrames(int frames, bool reset) {
    SimRule r;
    r.kind = SimRule::EKind::CloseAfter;
    r.anyCommand = true;
    r.from = std::max(frames, 1);  // every frame from there on, as one may go unanswered
    r.value = reset ? 1 : 0;
    return r;
}

bool SimOptionRule(const std::string& option, const std::string& text, SimRule* rule, std::string* error) {
    using K = SimRule::EKind;
    static const std::pair<const char*, K> options[] = {
        {"drop", K::Drop}, {"delay", K::Delay}, {"short", K::Short}, {"extra", K::Extra}};
    for (const auto& o : options) {
        if (option != o.first) continue;
        SimRule r;
        r.kind = o.second;
        if (!ParseCommandValue(text, &r.command, &r.value, r.kind != K::Drop)) break;
        if (r.kind == K::Drop) {
            r.count = r.value;  // N times; always without N
            r.value = 0;
        }
        *rule = r;
        return true;
    }
    if (error) *error = "bad --" + option + " value '" + text + "'";
    return false;
}

SimRule LostPageWrites(int pages) {
    SimRule r;
    r.kind = SimRule::EKind::Ignore;
    r.command = 0x1021;
    r.count = std::max(pages, 0);
    return r;
}
