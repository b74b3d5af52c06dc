// SHA-256 of an image, as lowercase hex: the digest an engineer compares
// with the one published beside a firmware file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

std::string Sha256Hex(const uint8_t* data, size_t size);
