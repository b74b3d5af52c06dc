// Frames as they go over the wire, written out here rather than taken from
// the code under test: header 0x68 0x00, command and payload length (both
// little-endian), then the payload.
#pragma once

#include <cstdint>
#include <vector>

inline std::vector<uint8_t> Frame(uint16_t cmd, std::vector<uint8_t> payload = {},
                                  const std::vector<uint8_t>& more = {}) {
    payload.insert(payload.end(), more.begin(), more.end());
    // The header put in front of the payload: appending the payload to a
    // six-byte vector trips a false -Warray-bounds in g++ 12 at -O2.
    const uint8_t header[6] = {0x68, 0x00, static_cast<uint8_t>(cmd), static_cast<uint8_t>(cmd >> 8),
                               static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
    payload.insert(payload.begin(), header, header + 6);
    return payload;
}
