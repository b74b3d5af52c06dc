#include "ui/qt/QtPlatform.h"

#include <QApplication>
#include <QImage>
#include <QMessageBox>
#include <QPainter>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#ifdef TR52K_HAVE_PULSE
#include <pulse/error.h>
#include <pulse/simple.h>
#endif

void CQtMessageBox::Show(const std::string& text, const std::string& caption, EMessageKind kind) {
    const QMessageBox::Icon icon = kind == EMessageKind::Error     ? QMessageBox::Critical
                                   : kind == EMessageKind::Warning ? QMessageBox::Warning
                                                                   : QMessageBox::NoIcon;
    QMessageBox box(icon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok, nullptr);
    box.exec();
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

QImage ProgramIconImage(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setBrush(QColor(30, 60, 110));
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(4, 12, 56, 40, 6, 6);
    p.setBrush(QColor(120, 220, 120));
    for (int i = 0; i < 4; ++i) p.drawEllipse(10 + i * 8, 40, 5, 5);
    p.setBrush(QColor(255, 200, 40));
    const QPointF bolt[] = {{40, 14}, {30, 32}, {38, 32}, {32, 50}, {48, 28}, {40, 28}, {46, 14}};
    p.drawPolygon(bolt, 7);
    p.end();
    return image;
}
