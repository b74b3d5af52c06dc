#include "ui/qt/IpAddressEdit.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QRegularExpressionValidator>

namespace {
// 0..255 only: a value above it is refused as it is typed, like the control.
class CByteValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        if (input.isEmpty()) return Acceptable;
        bool ok = false;
        int v = input.toInt(&ok);
        if (!ok || input.size() > 3 || v > 255 || v < 0) return Invalid;
        return Acceptable;
    }
};
}  // namespace

CIpAddressEdit::CIpAddressEdit(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(2, 0, 2, 0);
    layout->setSpacing(0);
    for (int i = 0; i < 4; ++i) {
        auto* f = new QLineEdit(this);
        f->setObjectName(QString("field%1").arg(i));
        f->setAlignment(Qt::AlignCenter);
        f->setFrame(false);
        f->setValidator(new CByteValidator(f));
        f->installEventFilter(this);
        m_fields[static_cast<size_t>(i)] = f;
        layout->addWidget(f, 1);
        if (i < 3) layout->addWidget(new QLabel(".", this));
        connect(f, &QLineEdit::textEdited, this, [this, i](const QString& t) {
            if (t.size() == 3 && i < 3) m_fields[static_cast<size_t>(i + 1)]->setFocus();
        });
    }
    setAutoFillBackground(true);
    setBackgroundRole(QPalette::Base);
}

bool CIpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        for (int i = 0; i < 3; ++i)
            if (watched == m_fields[static_cast<size_t>(i)] && key->text() == ".") {
                m_fields[static_cast<size_t>(i + 1)]->setFocus();
                m_fields[static_cast<size_t>(i + 1)]->selectAll();
                return true;
            }
    }
    return QWidget::eventFilter(watched, event);
}

void CIpAddressEdit::SetAddress(uint32_t a) {
    for (int i = 0; i < 4; ++i) m_fields[static_cast<size_t>(i)]->setText(QString::number((a >> (24 - 8 * i)) & 0xFF));
}

uint32_t CIpAddressEdit::GetAddress(uint8_t fields[4]) const {
    uint32_t a = 0;
    for (int i = 0; i < 4; ++i) {
        uint8_t v = static_cast<uint8_t>(m_fields[static_cast<size_t>(i)]->text().toUInt());  // blank reads 0
        if (fields) fields[i] = v;
        a = a << 8 | v;
    }
    return a;
}
