// The TCP connections of a capture file, each direction put back together
// as its receiver saw it: retransmitted bytes taken once, segments that
// arrived early held until the gap before them is filled. Reads what our
// own capture writes and what capture tools record (Ethernet, raw IP,
// Linux cooked and BSD loopback link layers; IPv4 and IPv6).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/PacketFile.h"

// Bytes that became available in order, at the time of the packet that
// completed them.
struct CStreamDelivery {
    bool fromUnit = false;
    std::vector<uint8_t> bytes;
    int64_t timeUs = 0;
};

struct CRecordedConnection {
    CCaptureEndpoint client, unit;
    std::vector<CStreamDelivery> deliveries;  // both directions, in the order they became available
};

// The unit of each connection is the side that accepted it (answered the
// SYN); without a handshake in the capture, the side on port 5000, else the
// side that did not speak first. Connections are in the order they began.
std::vector<CRecordedConnection> RecordedConnections(const std::vector<CCapturedPacket>& packets);

// "address:port" as capture tools show an endpoint ("[v6]:port" for IPv6).
std::string EndpointText(const CCaptureEndpoint& e);
