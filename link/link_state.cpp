// The shared link flags: not connected, debug lines on.
#include "link_state.h"

LinkStateFlags LinkState = {{0}, {1}};
std::atomic<uint32_t> channelsRead{0};
