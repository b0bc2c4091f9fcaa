#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <plinth/CStageAccess.h>

namespace stg::detail {

// A place in the stage manager's look-up list, never freed (a look-up may read it at any time, also
// while the process exits) and reused for a later stage once empty. The first cache line is read by
// every look-up and written only by registration and retirement; the count of calls in flight
// has a line of its own, written by the calls on this stage alone (64 bytes: the cache line of
// the x86-64 and ARMv8 cores the library runs on). The atomics are sequentially consistent: a
// retirer clears `live`, then reads `inFlight`; a look-up increments `inFlight`, then reads
// `live`; so one of them sees the other.
struct alignas(64) tStageSlot {
    // The layers of one activation, deleted from the last member to the first (the driver object
    // only when the manager no longer holds it).
    struct tLayers {
        std::shared_ptr<CLowLevelStage> low;
        std::unique_ptr<CMediumLevelStage> medium;
        std::unique_ptr<CStageAccess> access;
    };

    std::atomic<std::uint32_t> stageID{0};
    std::atomic<bool> live{false};          // found by look-ups; set once `active` is filled
    std::atomic<tStageSlot*> next{nullptr}; // set before the slot is published
    // Guarded by the manager's mutex; read without it by the holders of a slot they saw live.
    std::unique_ptr<tLayers> active; // null while the slot is free
    bool orphaned = false;           // retired from inside a call on it: its last hold deletes
    // Holds, and look-ups checking the slot.
    alignas(64) std::atomic<std::uint32_t> inFlight{0};
};

} // namespace stg::detail
