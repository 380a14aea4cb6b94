// The three flags shared by the GUI thread and the reader thread. Each is read and written whole
// as a relaxed 32-bit atomic; nothing relies on an order between them.
#pragma once

#include <atomic>
#include <cstdint>

struct LinkStateFlags {
    std::atomic<int32_t> connected; // 1 while the reader thread owns a live link
    std::atomic<int32_t> paused;    // the Pause button: chart and data rows stand still
    std::atomic<int32_t> debugLog;  // File > Debug: the reader thread's per-cycle log lines
};
extern LinkStateFlags LinkState;

inline int32_t LoadFlag(const std::atomic<int32_t>& flag) {
    return flag.load(std::memory_order_relaxed);
}
inline void StoreFlag(std::atomic<int32_t>& flag, int32_t value) {
    flag.store(value, std::memory_order_relaxed);
}
