#include "platform/Clock.h"

#include <chrono>
#include <thread>

namespace {
class CSystemClock : public CClock {
public:
    int64_t NowMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
    }
    void SleepMs(uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};
}  // namespace

CClock& SystemClock() {
    static CSystemClock clock;
    return clock;
}
