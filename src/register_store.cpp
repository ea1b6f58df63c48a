#include "register_store.h"

#include <cstring>

StationRegisters::StationRegisters() = default;
StationRegisters::~StationRegisters() = default;

quint16 StationRegisters::get(int station, int area, int reg) const {
    const PageTable *table = tables_[station * 3 + area].get();
    const Page *page = table ? (*table)[reg / kPageRegisters].get() : nullptr;
    return page ? (*page)[reg % kPageRegisters] : 0;
}

void StationRegisters::set(int station, int area, int reg, quint16 value) {
    std::unique_ptr<PageTable> &table = tables_[station * 3 + area];
    if (!table)
        table = std::make_unique<PageTable>();
    std::unique_ptr<Page> &page = (*table)[reg / kPageRegisters];
    if (!page) {
        page = std::make_unique<Page>();
        page->fill(0);
        ++pages_;
    }
    (*page)[reg % kPageRegisters] = value;
}

qint64 StationRegisters::allocatedRegisters() const { return pages_ * kPageRegisters; }

quint16 RegisterArea::get(qint64 reg) const {
    if (!holds(reg))
        return 0;
    return isStationArea() ? stations_->get(station_, area_, int(reg)) : image_[reg];
}

void RegisterArea::set(qint64 reg, quint16 value) {
    if (!holds(reg))
        return;
    if (isStationArea())
        stations_->set(station_, area_, int(reg), value);
    else
        image_[reg] = value;
}

RegisterStore::RegisterStore() {
    std::memset(input_, 0, sizeof input_);
    std::memset(holding_, 0, sizeof holding_);
    std::memset(extended_, 0, sizeof extended_);
}

RegisterArea RegisterStore::area(bool multiStation, int station, int area) {
    if (multiStation)
        return RegisterArea::station(stations_, station, area);
    quint16 *const images[3] = {input_, holding_, extended_};
    return RegisterArea::image(images[area], kImageRegisters[area]);
}
