// The update history: one JSON line per update, from either front end,
// appended to a file in the user's data folder, so what was written where,
// from which image, and how it ended, can be looked up later.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "update/UpdateOutcome.h"

struct CHistoryEntry {
    std::string program;     // "tr52k" or "tr52k-flash-loader"
    std::string unit;        // host:port
    std::string serial;      // as the unit reported it; empty when not read
    std::chrono::system_clock::time_point started, ended;
};

// $TR52K_HISTORY_FILE, else $XDG_DATA_HOME/tr52k/history.jsonl, else
// %LOCALAPPDATA%\tr52k\history.jsonl, else ~/.local/share/tr52k/history.jsonl.
std::string UpdateHistoryPath();

// "2026-12-07T11:30:00Z"
std::string Iso8601Utc(std::chrono::system_clock::time_point t);

// A time of the history ("2026-12-07T11:30:00Z") as the user reads it: in
// local time with its offset ("2026-12-07 12:30:00 +01:00"), or with `utc`
// as "2026-12-07 11:30:00 UTC". A text that is no such time is returned as
// it is.
std::string HistoryTimeText(const std::string& iso, bool utc);

// The path made absolute against the current folder, the way the system
// would open it ("." and ".." resolved); as it is when that fails.
std::string AbsoluteImagePath(const std::string& path);

// The line for one update (no newline).
std::string UpdateHistoryLine(const CHistoryEntry& entry, const CUpdateOutcome& outcome);

// Appends the line; false (with the reason) when the file cannot be written.
// A history that cannot be written never changes an update's outcome.
bool AppendUpdateHistory(const CHistoryEntry& entry, const CUpdateOutcome& outcome, std::string* why = nullptr);

// What the history says of the last update of one target of one unit.
struct CHistoryRecord {
    std::string time;      // when it ended
    std::string result;    // "completed", ...
    std::string sha256;    // of the image file
    std::string imageId;   // EEPROM: the image id the unit showed after it
    std::string unit;      // host:port it was reached at
};
// The last update (a line that is not a skip) of `target` ("EEPROM_3",
// "DSP1") of the unit with serial number `serial`, whatever its result;
// false when there is none or the history cannot be read.
bool FindLastUpdate(const std::string& serial, const std::string& target, CHistoryRecord* record);

// The lines of the history file; lines that are not JSON objects are
// counted in *skipped. False when the file cannot be read (a missing file
// is an empty history).
bool ReadUpdateHistory(const std::string& path, std::vector<std::string>* lines, size_t* skipped, std::string* why);
