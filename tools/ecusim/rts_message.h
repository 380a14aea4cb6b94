/* The datagram the RTS bridge sends to ecusim on every change of RTS. Shared by C (the bridge,
 * loaded into wine) and C++ (ecusim), so plain C and fixed-width fields only. */
#ifndef ECUSIM_RTS_MESSAGE_H
#define ECUSIM_RTS_MESSAGE_H

#include <stdint.h>

#define RTS_MESSAGE_MAGIC 0x31535452u /* "RTS1" in little-endian bytes */
#define RTS_SOCKET_ENV "TARVEX_RTS_SOCKET"

struct RtsMessage {
    uint32_t magic;    /* RTS_MESSAGE_MAGIC */
    uint32_t asserted; /* 1: RTS on, K-line pulled low; 0: released */
    uint64_t monoNs;   /* CLOCK_MONOTONIC at the ioctl, nanoseconds */
    uint64_t rdev;     /* device number of the pty slave, so ecusim can ignore other ptys */
    int32_t pid;       /* the process that switched RTS, for the trace */
    uint32_t reserved;
};

#endif
