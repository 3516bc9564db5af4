// A host for the model alone (its conformance tests and benchmarks): a clock with an event queue
// that the test advances, DMA memory that the test maps page by page, and an interrupt line the
// test reads. Single-threaded, deterministic.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <vector>

#include "sim_host.h"

namespace sim {

class StandaloneHost : public Host {
public:
    static constexpr uint32_t kPageSize = 4096;

    Ticks Now() override { return now_; }
    uint64_t Schedule(Ticks when, std::function<void()> event) override;
    bool Cancel(uint64_t id) override;
    bool DmaRead(uint32_t busAddress, void* destination, uint32_t length) override;
    bool DmaWrite(uint32_t busAddress, const void* source, uint32_t length) override;
    void SetInterruptLine(bool asserted) override { line_ = asserted; }

    // Runs every event due up to `until` in time order (events scheduled meanwhile included) and
    // leaves the clock at `until`.
    void RunUntil(Ticks until);
    void RunFor(Ticks duration) { RunUntil(now_ + duration); }
    // Runs events until none is left (bounded: at most `limit` events); returns how many ran.
    size_t RunAll(size_t limit = 1000000);
    size_t PendingEvents() const { return events_.size(); }

    bool InterruptLine() const { return line_; }

    // DMA memory: pages mapped at bus addresses, zero-filled. Map returns the first bus address.
    uint32_t Map(uint32_t length);              // allocates fresh bus pages
    void MapAt(uint32_t busAddress, uint32_t length);
    void Unmap(uint32_t busAddress, uint32_t length);
    // Direct access for the test (as a driver writes its descriptors): false when unmapped.
    bool Read(uint32_t busAddress, void* destination, uint32_t length) const;
    bool Write(uint32_t busAddress, const void* source, uint32_t length);
    uint32_t Read32(uint32_t busAddress) const;
    void Write32(uint32_t busAddress, uint32_t value);

    // Device accesses that touched an unmapped page.
    struct Fault {
        uint32_t address;
        uint32_t length;
        bool write;
    };
    const std::vector<Fault>& faults() const { return faults_; }

private:
    struct Event {
        Ticks when;
        uint64_t id;
        std::function<void()> run;
    };
    Ticks now_ = 0;
    uint64_t nextId_ = 1;
    std::vector<Event> events_;  // kept sorted by (when, id)
    bool line_ = false;
    std::map<uint32_t, std::vector<uint8_t>> pages_;  // page-aligned bus address -> page
    uint32_t nextMap_ = 0x00100000;
    std::vector<Fault> faults_;
};

}  // namespace sim
