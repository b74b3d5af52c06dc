// How an update ended and what the unit confirmed on the way. Every fact
// here is set only by an exchange that succeeded: a reply that did not
// arrive, or arrived as another command's frame, confirms nothing. Front
// ends turn the outcome into their own words (boxes, text, JSON, exit codes)
// and never into a guess.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

enum class EUpdateResult {
    Completed,
    InProgress,              // an EEPROM update between its ticks
    Busy,                    // refused: an EEPROM update is already running
    InvalidFileName,         // no path given
    InvalidFlashFile,        // the name does not mark an image for that target
    FileUnreadable,
    FileTooBig,
    AllocationFailed,
    UnknownException,
    BlockNotAcknowledged,    // DSP upload abandoned at the first lost block
    FinishNotAcknowledged,   // DSP image sent; the unit did not confirm the finish
    EraseNotAcknowledged,
    EraseStatusFailed,       // the status read failed while it still showed an earlier erase as done
    EraseNotConfirmed,       // the connection went while the unit erased
    EraseTimedOut,           // the erase did not finish within the limit the caller set
    PageNotAcknowledged,     // the same page failed again and again, or the connection went
    SelectNotAcknowledged,
    DirectoryNotRead,
    NotCurrent,              // the directory shows another EEPROM current after the select
    ModeUnknown,             // the mode was not read before the erase, so it was not sent back
    ModeOutOfRange,          // the mode read before the erase is not one that can be sent back
    ModeNotRestored,         // the mode command was not acknowledged
    AlreadyCurrent,          // the unit's own replies and the history show it holds this image: nothing written
    ConnectionLostInWriteWait,  // the unit closed or reset the connection while it wrote its DSP flash
    Interrupted,             // the caller asked to stop (Ctrl-C); the facts say how far it got
};

// A short sentence for each result, for people and logs.
const char* UpdateResultText(EUpdateResult result);
// Stable identifier for scripts ("completed", "page-not-acknowledged", ...).
const char* UpdateResultName(EUpdateResult result);
std::vector<EUpdateResult> AllUpdateResults();
// The file itself was the problem: nothing was sent to the unit.
bool IsFileProblem(EUpdateResult result);

enum class EUpdateKind { DspFlash, ConfigEeprom };

// A report in the system's own words: the dialog shows each as a box, the
// procedures write each text to the trace, the command-line tool keeps them
// in its JSON. Made from the result, never the other way round.
struct CUpdateMessage {
    std::string text;
    std::string caption;
    bool error = true;   // error icon; false for the plain completion box
};

struct CUpdateOutcome {
    EUpdateKind kind = EUpdateKind::DspFlash;
    EUpdateResult result = EUpdateResult::InProgress;
    uint32_t target = 0;          // DSP selector 0/1, or EEPROM index 0..11

    // The image as read from the file.
    std::string imagePath;
    bool imageRead = false;
    uint64_t imageSize = 0;
    std::string imageSha256;
    std::string fileError;        // the cause when the file could not be read

    // A request that writes (the DSP start, the bulk erase) went out: from
    // then on the unit may have changed, whatever it answered.
    bool writeSent = false;

    // DSP flash.
    bool startAcknowledged = false;
    uint32_t blocksTotal = 0;
    uint32_t blocksAcknowledged = 0;
    bool finishSent = false;      // the finish went out, acknowledged or not
    bool finishAcknowledged = false;
    bool writeWaitDone = false;
    uint32_t writeWaitSecondsLeft = 0;  // when interrupted during the wait

    // Configuration EEPROM.
    uint32_t bytesToWrite = 0;    // the image padded with 0xFF to whole pages
    std::string sentSha256;       // of those padded bytes
    bool eraseAcknowledged = false;
    bool eraseCompleted = false;
    uint32_t eraseTimeoutS = 0;   // the limit that ran out, for EraseTimedOut
    uint32_t pagesTotal = 0;
    uint32_t pagesAcknowledged = 0;
    uint32_t pageRetries = 0;
    bool selectAcknowledged = false;
    bool directoryRead = false;
    std::optional<int32_t> currentEeprom;   // as the re-read directory names it (0..11)
    std::optional<uint16_t> currentEepromWord;  // that directory's raw word 43
    std::optional<uint32_t> imageId;        // of the target EEPROM, in the re-read directory
    std::optional<int32_t> modeBefore;      // read before the erase
    bool modeRestored = false;

    std::vector<CUpdateMessage> messages;
    // For AlreadyCurrent: the facts that proved it, by name, as shown.
    std::vector<std::pair<std::string, std::string>> proof;

    int64_t startMs = 0;          // process clock
    int64_t endMs = 0;

    bool Succeeded() const { return result == EUpdateResult::Completed || result == EUpdateResult::AlreadyCurrent; }
};

// The stages a front end shows progress for.
enum class EUpdateStage {
    Upload,      // DSP blocks; total = blocks
    WriteWait,   // DSP flash being written by the unit; total = seconds
    Erase,       // EEPROM bulk erase; no total, one step per status poll
    Program,     // EEPROM pages; total = pages
    Select,      // select, directory re-read, mode restore
};

// The progress port: a handful of calls, all on the thread that runs the
// procedure. Nothing here decides the outcome.
class CUpdateProgress {
public:
    virtual ~CUpdateProgress() = default;
    virtual void OnStage(EUpdateStage stage, uint32_t total) = 0;
    virtual void OnStep(EUpdateStage stage, uint32_t done) = 0;
    // Bytes the unit has acknowledged so far, of all to write.
    virtual void OnBytes(uint64_t done, uint64_t total) = 0;
    // Something is being repeated, in words ("page 100 timed out, writing it again (1/5)").
    virtual void OnRetry(const std::string& notice) = 0;
    // Asked between steps (before each block or page, at each erase poll,
    // each second of the write wait): true ends the update as Interrupted.
    virtual bool StopRequested() { return false; }
};

// For callers that show nothing.
class CNoProgress : public CUpdateProgress {
public:
    void OnStage(EUpdateStage, uint32_t) override {}
    void OnStep(EUpdateStage, uint32_t) override {}
    void OnBytes(uint64_t, uint64_t) override {}
    void OnRetry(const std::string&) override {}
};

// "Elapsed Time: m:ss\r\n" for the time since `startMs`.
std::string ElapsedTimeText(int64_t startMs, int64_t nowMs);
