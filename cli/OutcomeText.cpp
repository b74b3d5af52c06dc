// An update's outcome for the tool: its exit code and its words.
#include "cli/JobParts.h"
#include "platform/Text.h"
#include "update/EepromUpdate.h"

EExitCode ExitCodeFor(EUpdateResult r) {
    if (r == EUpdateResult::Completed) return EExitCode::Success;
    if (IsFileProblem(r)) return EExitCode::BadArgument;
    if (r == EUpdateResult::Busy) return EExitCode::Refused;
    return EExitCode::ExchangeFailed;
}

namespace {
// Which file could not be read, and why, after a file-read failure.
std::string FileUnreadableNote(const CUpdateOutcome& o) {
    if (o.result != EUpdateResult::FileUnreadable || o.fileError.empty()) return "";
    return " (" + o.imagePath + " could not be read: " + o.fileError + "; nothing was written)";
}
}  // namespace

std::string OutcomeError(const CUpdateOutcome& o) {
    std::string error;
    for (const CUpdateMessage& m : o.messages) {
        if (!m.error) continue;
        if (!error.empty()) error += "; ";
        error += m.caption + ": " + m.text;
    }
    if (error.empty()) error = UpdateResultText(o.result);
    return error + FileUnreadableNote(o);
}

std::string PlainMessage(const CUpdateOutcome& o, std::optional<int32_t> currentBefore, const std::string& redo) {
    std::string m = UpdateResultText(o.result) + FileUnreadableNote(o);
    if (o.result == EUpdateResult::FileTooBig)
        m += Format(" (%llu bytes)", static_cast<unsigned long long>(o.imageSize));
    if (o.result == EUpdateResult::ConnectionLostInWriteWait)
        return Format("The connection was lost while DSP%u wrote its flash, %u s before the write wait ended; the "
                      "image may be incomplete. Check DSP%u's version after the unit restarts.",
                      o.target + 1, o.writeWaitSecondsLeft, o.target + 1);
    if (o.result == EUpdateResult::NotCurrent) return m + " " + NotCurrentText(o);
    if (o.result != EUpdateResult::Interrupted) return m;
    if (o.kind == EUpdateKind::DspFlash) {
        const unsigned n = o.target + 1;
        if (o.finishAcknowledged)
            return Format("Interrupted during the write wait: the unit has the whole DSP%u image and is writing its "
                          "flash; do not power it off for another %u s.",
                          n, o.writeWaitSecondsLeft);
        if (o.finishSent)
            return Format("Interrupted during the write wait: the finish of the DSP%u upload was sent but not "
                          "acknowledged, so the unit may be writing its flash; do not power it off for another %u s, "
                          "then check DSP%u's version. To redo: %s",
                          n, o.writeWaitSecondsLeft, n, redo.c_str());
        return Format("Interrupted: the DSP%u upload stopped after %u of %u blocks and the finish was not sent, so the "
                      "unit should still hold its previous DSP%u image. To redo: %s",
                      n, o.blocksAcknowledged, o.blocksTotal, n, redo.c_str());
    }
    std::string current = currentBefore ? Format("EEPROM_%d is still current", *currentBefore)
                                        : std::string("the current EEPROM was not read before the update");
    return Format("Interrupted: EEPROM_%u is erased and %u of %u pages are written; %s. To redo: %s", o.target,
                  o.pagesAcknowledged, o.pagesTotal, current.c_str(), redo.c_str());
}
