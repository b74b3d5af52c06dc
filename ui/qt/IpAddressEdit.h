// Four-field IPv4 entry like the Windows IP-address control: each field
// takes 0 to 255, a blank field reads as 0.
#pragma once

#include <QLineEdit>
#include <QWidget>
#include <array>
#include <cstdint>

class CIpAddressEdit : public QWidget {
    Q_OBJECT
public:
    explicit CIpAddressEdit(QWidget* parent = nullptr);
    void SetAddress(uint32_t address);  // field 0 in the highest byte
    uint32_t GetAddress(uint8_t fields[4]) const;
    QLineEdit* Field(int i) const { return m_fields[static_cast<size_t>(i)]; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::array<QLineEdit*, 4> m_fields{};
};
