#include "ui/QtPlatform.h"

#include <QApplication>
#include <QMessageBox>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#ifdef TR52K_HAVE_PULSE
#include <pulse/error.h>
#include <pulse/simple.h>
#endif

#include "platform/Win32Types.h"

int CQtMessageBox::Show(const std::string& text, const std::string& caption, uint32_t type) {
    QMessageBox box((type & win32::MB_ICONERROR) ? QMessageBox::Critical : QMessageBox::NoIcon,
                    QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok, nullptr);
    box.exec();
    return win32::IDOK;
}

void CPulseBeeper::Beep(uint32_t frequencyHz, uint32_t durationMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(durationMs);
#ifdef TR52K_HAVE_PULSE
    const int rate = 44100;
    pa_sample_spec spec{PA_SAMPLE_S16LE, static_cast<uint32_t>(rate), 1};
    int error = 0;
    // No server: the call fails at once and the beep is only a pause.
    pa_simple* s = pa_simple_new(nullptr, "tr52k-flash-loader", PA_STREAM_PLAYBACK, nullptr, "beep", &spec, nullptr,
                                 nullptr, &error);
    if (s) {
        std::vector<int16_t> samples(static_cast<size_t>(rate) * durationMs / 1000);
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<int16_t>(12000 * std::sin(2 * M_PI * frequencyHz * static_cast<double>(i) / rate));
        pa_simple_write(s, samples.data(), samples.size() * sizeof(int16_t), &error);
        pa_simple_drain(s, &error);
        pa_simple_free(s);
    }
#else
    (void)frequencyHz;
#endif
    std::this_thread::sleep_until(until);
}

void BeginBusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
void EndBusyCursor() { QApplication::restoreOverrideCursor(); }
