// Reading an image file for an update (DSP flash or configuration EEPROM).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/UpdateOutcome.h"

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
