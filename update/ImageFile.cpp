// Reading an image file for an update, with its file and allocation
// failures turned into results.
#include "update/ImageFile.h"

#include <new>

#include "platform/DebugOutput.h"
#include "platform/File.h"
#include "platform/FileErrorText.h"
#include "platform/Sha256.h"

EUpdateResult GuardImageStep(std::vector<uint8_t>* image, CUpdateOutcome* outcome, const std::function<void()>& step) {
    try {
        step();
        return EUpdateResult::Completed;
    } catch (const CFileException& e) {
        const std::string cause = ReportFileException(e);
        outcome->fileError = cause.substr(0, cause.find_last_not_of("\r\n") + 1);
        image->clear();
        return EUpdateResult::FileUnreadable;
    } catch (const std::bad_alloc&) {
        DebugOutput("Failed allocation from operator new.\r\n");
        // The text the system's runtime gives this exception; the same on
        // every platform, whatever our library's what() says.
        outcome->fileError = "bad allocation";
        image->clear();
        return EUpdateResult::AllocationFailed;
    } catch (...) {
        // Its box text goes to the trace with the others; nothing here.
        image->clear();
        return EUpdateResult::UnknownException;
    }
}

EUpdateResult ReadImageFile(const std::string& path, uint64_t limit, std::vector<uint8_t>* image,
                            CUpdateOutcome* outcome) {
    outcome->imagePath = path;
    bool tooBig = false;
    EUpdateResult r = GuardImageStep(image, outcome, [&] {
        CImageFile file;
        CFileException error(0, 0, path);
        if (!file.Open(path, &error)) throw error;
        const uint64_t length = file.GetLength();
        outcome->imageSize = length;
        if (length > limit) {
            tooBig = true;
            return;
        }
        image->assign(static_cast<size_t>(length), 0);
        const uint32_t got = file.Read(image->data(), static_cast<uint32_t>(image->size()));
        // One byte more tells whether the file grew while it was read.
        uint8_t probe;
        if (got != image->size() || file.Read(&probe, 1) != 0)
            throw CFileException(CFileException::endOfFile, 0, path);
        file.Close();
        outcome->imageSha256 = Sha256Hex(image->data(), image->size());
    });
    if (r != EUpdateResult::Completed) return r;
    if (tooBig) return EUpdateResult::FileTooBig;
    outcome->imageRead = true;
    return EUpdateResult::Completed;
}
