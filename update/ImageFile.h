// Reading an image file for an update (DSP flash or configuration EEPROM).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/UpdateOutcome.h"

// The largest image a DSP or a configuration EEPROM takes, in bytes.
uint64_t ImageSizeLimit(EUpdateKind kind);

// What is wrong with an image's name for DSPn (target 0 or 1) or for the
// configuration EEPROMs, in the words of the dialog's box; empty when it fits.
std::string ImagePathFault(EUpdateKind kind, uint32_t target, const std::string& path);
// The name alone: Completed, InvalidFileName (empty) or InvalidFlashFile.
EUpdateResult CheckImagePath(EUpdateKind kind, uint32_t target, const std::string& path);

// The file behind an image's path, learnt without reading it.
struct CImageFileFacts {
    std::string notRegular;  // what it is when it is not a regular file ("a folder")
    int32_t osError = 0;     // why it did not open
    uint64_t size = 0;
};
// The file's kind (a regular file), its name, then that it opens and fits. Completed,
// InvalidFileName, InvalidFlashFile, FileUnreadable or FileTooBig, with the
// facts behind it.
EUpdateResult CheckImageFile(EUpdateKind kind, uint32_t target, const std::string& path, CImageFileFacts* facts);

// Runs a step that prepares an image (reading, padding, hashing) with the
// file and allocation failures caught and turned into a result, as for the
// read itself. The image is emptied on failure.
EUpdateResult GuardImageStep(std::vector<uint8_t>* image, CUpdateOutcome* outcome, const std::function<void()>& step);

// Reads a whole image file, checking it did not change size while read.
// Sets imageRead, imageSize, imageSha256 or fileError and returns the result
// (Completed when the bytes are in `image`). `limit` refuses larger files
// before anything is allocated.
EUpdateResult ReadImageFile(const std::string& path, uint64_t limit, std::vector<uint8_t>* image,
                            CUpdateOutcome* outcome);
