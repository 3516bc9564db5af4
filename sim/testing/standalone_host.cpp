#include "testing/standalone_host.h"

#include <algorithm>
#include <cstring>

namespace sim {

uint64_t StandaloneHost::Schedule(Ticks when, std::function<void()> event) {
    Event e{when < now_ ? now_ : when, nextId_++, std::move(event)};
    auto at = std::upper_bound(events_.begin(), events_.end(), e, [](const Event& a, const Event& b) {
        return a.when != b.when ? a.when < b.when : a.id < b.id;
    });
    events_.insert(at, std::move(e));
    return nextId_ - 1;
}

bool StandaloneHost::Cancel(uint64_t id) {
    auto it = std::find_if(events_.begin(), events_.end(), [id](const Event& e) { return e.id == id; });
    if (it == events_.end()) return false;
    events_.erase(it);
    return true;
}

void StandaloneHost::RunUntil(Ticks until) {
    while (!events_.empty() && events_.front().when <= until) {
        Event e = std::move(events_.front());
        events_.erase(events_.begin());
        now_ = e.when;
        e.run();
    }
    if (until > now_) now_ = until;
}

size_t StandaloneHost::RunAll(size_t limit) {
    size_t ran = 0;
    while (!events_.empty() && ran < limit) {
        Event e = std::move(events_.front());
        events_.erase(events_.begin());
        now_ = e.when;
        e.run();
        ++ran;
    }
    return ran;
}

uint32_t StandaloneHost::Map(uint32_t length) {
    uint32_t start = nextMap_;
    uint32_t pages = (length + kPageSize - 1) / kPageSize;
    MapAt(start, pages * kPageSize);
    nextMap_ += (pages + 1) * kPageSize;  // an unmapped page after each mapping
    return start;
}

void StandaloneHost::MapAt(uint32_t busAddress, uint32_t length) {
    uint32_t first = busAddress & ~(kPageSize - 1);
    for (uint64_t page = first; page < uint64_t(busAddress) + length; page += kPageSize)
        pages_[uint32_t(page)].assign(kPageSize, 0);
}

void StandaloneHost::Unmap(uint32_t busAddress, uint32_t length) {
    uint32_t first = busAddress & ~(kPageSize - 1);
    for (uint64_t page = first; page < uint64_t(busAddress) + length; page += kPageSize) pages_.erase(uint32_t(page));
}

bool StandaloneHost::Read(uint32_t busAddress, void* destination, uint32_t length) const {
    auto* out = static_cast<uint8_t*>(destination);
    for (uint32_t done = 0; done < length;) {
        uint64_t address = uint64_t(busAddress) + done;
        if (address > 0xFFFFFFFFull) return false;
        auto it = pages_.find(uint32_t(address) & ~(kPageSize - 1));
        if (it == pages_.end()) return false;
        uint32_t offset = uint32_t(address) & (kPageSize - 1);
        uint32_t chunk = std::min(length - done, kPageSize - offset);
        memcpy(out + done, it->second.data() + offset, chunk);
        done += chunk;
    }
    return true;
}

bool StandaloneHost::Write(uint32_t busAddress, const void* source, uint32_t length) {
    // Check the whole range first: a faulting access writes nothing.
    for (uint64_t page = busAddress & ~(kPageSize - 1); page < uint64_t(busAddress) + length; page += kPageSize)
        if (page > 0xFFFFFFFFull || pages_.find(uint32_t(page)) == pages_.end()) return false;
    const auto* in = static_cast<const uint8_t*>(source);
    for (uint32_t done = 0; done < length;) {
        uint32_t address = busAddress + done;
        auto& page = pages_[address & ~(kPageSize - 1)];
        uint32_t offset = address & (kPageSize - 1);
        uint32_t chunk = std::min(length - done, kPageSize - offset);
        memcpy(page.data() + offset, in + done, chunk);
        done += chunk;
    }
    return true;
}

uint32_t StandaloneHost::Read32(uint32_t busAddress) const {
    uint32_t value = 0;
    Read(busAddress, &value, 4);
    return value;
}

void StandaloneHost::Write32(uint32_t busAddress, uint32_t value) { Write(busAddress, &value, 4); }

bool StandaloneHost::DmaRead(uint32_t busAddress, void* destination, uint32_t length) {
    if (Read(busAddress, destination, length)) return true;
    faults_.push_back({busAddress, length, false});
    return false;
}

bool StandaloneHost::DmaWrite(uint32_t busAddress, const void* source, uint32_t length) {
    if (Write(busAddress, source, length)) return true;
    faults_.push_back({busAddress, length, true});
    return false;
}

}  // namespace sim
