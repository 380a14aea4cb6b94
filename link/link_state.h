// The two flags shared by the GUI thread and the reader thread. Each is read and written whole
// as a relaxed 32-bit atomic; nothing relies on an order between them.
#pragma once

#include <atomic>
#include <cstdint>

struct LinkStateFlags {
    std::atomic<int32_t> connected; // 1 while the reader thread owns a live link
    std::atomic<int32_t> debugLog;  // File > Debug: the reader thread's per-cycle log lines
};
extern LinkStateFlags LinkState;

// Bit i set once the reader of the link that is up has read channel i. Cleared when a link
// begins, and when its reader fails: only values read in the current, live link are drawn and
// logged.
extern std::atomic<uint32_t> channelsRead;

inline int32_t LoadFlag(const std::atomic<int32_t>& flag) {
    return flag.load(std::memory_order_relaxed);
}
inline void StoreFlag(std::atomic<int32_t>& flag, int32_t value) {
    flag.store(value, std::memory_order_relaxed);
}
