// The driver's copy of the PLC's registers.
//
// With one station the copy is three register images, one per area, sized
// for the registers hosts use: 1024 input registers, 1024 holding registers
// and 8192 holding registers from 5000 on. With several stations every
// station has the whole 16-bit register range of each area, kept in pages
// that are allocated when a register of theirs is first stored. A register
// never stored reads as 0. The store has no lock of its own: the driver's
// data lock guards it.
#ifndef REGISTER_STORE_H
#define REGISTER_STORE_H

#include "modbus_protocol.h"

#include <QtGlobal>

#include <array>
#include <memory>

// Registers of the three images, by area.
constexpr int kImageRegisters[3] = {1024, 1024, 8192};
// Stations of the per-station store: the unit identifiers 0..255.
constexpr int kStationCount = modbus::kMaxUnitId + 1;

// The registers of every station, for multi-station mode.
class StationRegisters {
public:
    StationRegisters();
    ~StationRegisters();
    StationRegisters(const StationRegisters &) = delete;
    StationRegisters &operator=(const StationRegisters &) = delete;

    static bool holds(int station, qint64 reg) {
        return station >= 0 && station < kStationCount && reg >= 0 && reg <= modbus::kMaxAddress;
    }
    // Both need holds(station, reg) and an area 0..2.
    quint16 get(int station, int area, int reg) const;
    void set(int station, int area, int reg, quint16 value);
    // Registers that have storage, stored or not (a whole page each).
    qint64 allocatedRegisters() const;

private:
    static constexpr int kPageRegisters = 64;
    static constexpr int kPagesPerArea = (modbus::kMaxAddress + 1) / kPageRegisters;
    using Page = std::array<quint16, kPageRegisters>;
    using PageTable = std::array<std::unique_ptr<Page>, kPagesPerArea>;

    std::array<std::unique_ptr<PageTable>, kStationCount * 3> tables_;
    qint64 pages_ = 0;
};

// One area's registers as a value access or a stored reply sees them: an
// image, or the area of one station. Registers outside it read as 0 and are
// never written.
class RegisterArea {
public:
    static RegisterArea image(quint16 *registers, int size) { return RegisterArea(registers, size); }
    static RegisterArea station(StationRegisters &all, int station, int area) {
        return RegisterArea(all, station, area);
    }

    bool isStationArea() const { return stations_ != nullptr; }
    bool holds(qint64 reg) const {
        return isStationArea() ? StationRegisters::holds(station_, reg) : reg >= 0 && reg < size_;
    }
    quint16 get(qint64 reg) const;
    void set(qint64 reg, quint16 value);

private:
    RegisterArea(quint16 *registers, int size) : image_(registers), size_(size) {}
    RegisterArea(StationRegisters &all, int station, int area)
        : stations_(&all), station_(station), area_(area) {}

    quint16 *image_ = nullptr;
    int size_ = 0;
    StationRegisters *stations_ = nullptr;
    int station_ = 0;
    int area_ = 0;
};

class RegisterStore {
public:
    RegisterStore();

    // The registers of area 0..2: its image with one station, or the
    // station's own with several.
    RegisterArea area(bool multiStation, int station, int area);
    const StationRegisters &stations() const { return stations_; }

private:
    quint16 input_[kImageRegisters[0]];
    quint16 holding_[kImageRegisters[1]];
    quint16 extended_[kImageRegisters[2]];
    StationRegisters stations_;
};

#endif // REGISTER_STORE_H
