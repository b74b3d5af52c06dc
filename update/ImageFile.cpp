// Reading an image file for an update, with its file and allocation
// failures turned into results.
#include "update/ImageFile.h"

#include <new>

#include "platform/DebugOutput.h"
#include "platform/File.h"
#include "platform/FileErrorText.h"
#include "platform/Sha256.h"
#include "update/DspFlashUpdate.h"
#include "update/EepromUpdate.h"

uint64_t ImageSizeLimit(EUpdateKind kind) {
    // An EEPROM image is padded with at least one byte, within 16 MiB.
    return kind == EUpdateKind::DspFlash ? DSP_IMAGE_MAX : EEPROM_IMAGE_MAX - 1;
}

std::string ImagePathFault(EUpdateKind kind, uint32_t target, const std::string& path) {
    if (path.empty()) return "Invalid File Name";
    if (kind == EUpdateKind::ConfigEeprom)
        return path.find("tr52K") == std::string::npos ? "File chosen is not a valid file for the DP FPGA" : "";
    if (path.find(target ? "_DSP2_" : "_DSP1_") == std::string::npos)
        return std::string("File chosen is not a valid file for ") + (target ? "DSP2" : "DSP1");
    if (path.find("TR52K1_") == std::string::npos) return "File chosen is not a valid file for TR52K1";
    return "";
}

EUpdateResult CheckImagePath(EUpdateKind kind, uint32_t target, const std::string& path) {
    if (path.empty()) return EUpdateResult::InvalidFileName;
    return ImagePathFault(kind, target, path).empty() ? EUpdateResult::Completed : EUpdateResult::InvalidFlashFile;
}

EUpdateResult CheckImageFile(EUpdateKind kind, uint32_t target, const std::string& path, CImageFileFacts* facts) {
    *facts = CImageFileFacts{};
    if (path.empty()) return EUpdateResult::InvalidFileName;
    // A FIFO or a device is refused as what it is, whatever its name, and
    // never opened.
    facts->notRegular = NonRegularFileKind(path);
    if (!facts->notRegular.empty()) return EUpdateResult::FileUnreadable;
    const EUpdateResult named = CheckImagePath(kind, target, path);
    if (named != EUpdateResult::Completed) return named;
    CImageFile image;
    CFileException error(0, 0, path);
    if (!image.Open(path, &error)) {
        facts->osError = error.m_lOsError;
        return EUpdateResult::FileUnreadable;
    }
    facts->size = image.GetLength();
    return facts->size > ImageSizeLimit(kind) ? EUpdateResult::FileTooBig : EUpdateResult::Completed;
}

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
