// Where a link reports every byte it sends and receives, with its time, for
// a capture file of the session (tr52k --capture, TR52K_CAPTURE_FILE). The
// link knows nothing of the file format; link/TcpCapture.h turns the
// reports into TCP segments of a capture file.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/PacketFile.h"


enum class ECaptureDirection { ToUnit, FromUnit };

// Called from any thread (one link per unit, each on its own thread): an
// implementation serializes what it writes.
class CCaptureSink {
public:
    virtual ~CCaptureSink() = default;
    // A new connection from `local` to the unit at `unit`; returns the
    // number the link names it by in the calls below.
    virtual int OpenStream(const CCaptureEndpoint& local, const CCaptureEndpoint& unit, int64_t timeUs) = 0;
    virtual void Record(int stream, ECaptureDirection direction, const uint8_t* data, size_t size,
                        int64_t timeUs) = 0;
    // The side `closer` ended the connection (its FIN).
    virtual void CloseStream(int stream, ECaptureDirection closer, int64_t timeUs) = 0;

    // Wall-clock time in microseconds since 1970, as capture files count it.
    static int64_t NowUs();
};
