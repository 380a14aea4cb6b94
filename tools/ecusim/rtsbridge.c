/* The RTS bridge, loaded with LD_PRELOAD into wine (or any program) that drives a pty as if it
 * were a serial port. A pty has no modem-control lines, so the kernel refuses TIOCMGET, TIOCMSET,
 * TIOCMBIS and TIOCMBIC on it, and Wine's EscapeCommFunction(SETRTS/CLRRTS) fails. This library
 * answers those requests itself for pty slaves, keeps the lines' state per descriptor, and reports
 * every change of RTS with its CLOCK_MONOTONIC time to ecusim over a Unix datagram socket named
 * in TARVEX_RTS_SOCKET. Real serial devices, and every other request, go to the real ioctl.
 *
 * It also plays a strict Windows serial driver where Wine is lenient. A Windows driver refuses
 * an Xon character equal to the Xoff character (SetCommState fails with ERROR_INVALID_PARAMETER),
 * while Wine hands both to the tty as c_cc[VSTART] and c_cc[VSTOP] through tcsetattr without a
 * check. So tcsetattr on a pty slave refuses a termios with VSTART equal to VSTOP (EINVAL, which
 * Wine turns into that error), unless TARVEX_LENIENT_DRIVER=1. The refusal covers every tcsetattr
 * of such a termios, as Wine passes the tty's characters along with each setting: a lenient
 * program that left an equal pair on the pty leaves it unusable to strict ones until it is
 * closed.
 *
 * And it opens a pty slave to one Win32 program at a time, as Windows opens a COM port: a second
 * CreateFile of a port that is open fails with ERROR_ACCESS_DENIED, whatever its share mode.
 * Wine's server opens the device with open() and checks share modes only for regular files and
 * directories, so under Wine two programs (or two handles of one) get the same port. In the wine
 * server, which opens every device for the programs of its prefix, a second open() of a pty slave
 * already open there fails with EACCES (which Wine turns into that error) until the first is
 * closed; TARVEX_LENIENT_DRIVER=1 in the server's environment lets it through. The server must
 * therefore be started with this library preloaded too.
 *
 * It lives inside wine and all its children: no allocation, no output, errno as the caller
 * expects, and nothing that can block (the datagram is sent without waiting). */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "rts_message.h"

typedef int (*IoctlFn)(int, unsigned long, ...);
typedef int (*TcsetattrFn)(int, int, const struct termios*);
typedef int (*OpenFn)(const char*, int, ...);
typedef int (*CloseFn)(int);

#define MAX_TRACKED_FDS 4096
#include <fcntl.h>

#define DRIVEN_LINES (TIOCM_DTR | TIOCM_RTS)
/* The adapter is always there: clear to send, data set ready, carrier. */
#define INPUT_LINES (TIOCM_CTS | TIOCM_DSR | TIOCM_CAR)

struct LineState {
    uint64_t rdev; /* the pty this descriptor was on when the state was made */
    int bits;      /* DTR and RTS as last set */
    int valid;
};

static IoctlFn realIoctl;
static TcsetattrFn realTcsetattr;
static pthread_once_t resolveOnce = PTHREAD_ONCE_INIT;
static pthread_mutex_t linesLock = PTHREAD_MUTEX_INITIALIZER;
static struct LineState lines[MAX_TRACKED_FDS];
static OpenFn realOpen;
static CloseFn realClose;
/* The pty slave each descriptor opened here is on, plus one; 0 for none. */
static uint64_t openPty[MAX_TRACKED_FDS];

static void ResolveReal(void) {
    void* sym = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&realIoctl, &sym, sizeof realIoctl);
    sym = dlsym(RTLD_NEXT, "tcsetattr");
    memcpy(&realTcsetattr, &sym, sizeof realTcsetattr);
    sym = dlsym(RTLD_NEXT, "open");
    memcpy(&realOpen, &sym, sizeof realOpen);
    sym = dlsym(RTLD_NEXT, "close");
    memcpy(&realClose, &sym, sizeof realClose);
}

static int Lenient(void) {
    const char* lenient = getenv("TARVEX_LENIENT_DRIVER");
    return lenient != NULL && strcmp(lenient, "1") == 0;
}

/* Unix 98 pty slaves (/dev/pts/N) have majors 136 to 143. */
static int IsPtySlave(int fd, uint64_t* rdev) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return 0;
    }
    unsigned int maj = major(st.st_rdev);
    *rdev = (uint64_t)st.st_rdev;
    return maj >= 136 && maj <= 143;
}

static void ReportRts(int asserted, uint64_t rdev, uint64_t monoNs) {
    const char* path = getenv(RTS_SOCKET_ENV);
    if (path == NULL || path[0] == '\0' ||
        strlen(path) >= sizeof(((struct sockaddr_un*)0)->sun_path)) {
        return;
    }
    int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return;
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strcpy(addr.sun_path, path);
    struct RtsMessage msg;
    memset(&msg, 0, sizeof msg);
    msg.magic = RTS_MESSAGE_MAGIC;
    msg.asserted = asserted ? 1u : 0u;
    msg.monoNs = monoNs;
    msg.rdev = rdev;
    msg.pid = (int32_t)getpid();
    (void)sendto(s, &msg, sizeof msg, MSG_DONTWAIT, (struct sockaddr*)&addr, sizeof addr);
    close(s);
}

/* Answers a modem-control request for a pty slave. */
static int Emulate(int fd, uint64_t rdev, unsigned long request, int* arg) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t nowNs = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;

    if (request == TIOCSBRK || request == TIOCCBRK) {
        return 0; /* a break means nothing to the simulated line */
    }
    if (arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    pthread_mutex_lock(&linesLock);
    struct LineState* line = &lines[fd];
    if (!line->valid || line->rdev != rdev) {
        line->valid = 1;
        line->rdev = rdev;
        line->bits = TIOCM_DTR; /* RTS off: the K-line idles high */
    }
    int before = line->bits;
    int after = before;
    switch (request) {
    case TIOCMGET: *arg = before | INPUT_LINES; break;
    case TIOCMSET: after = *arg & DRIVEN_LINES; break;
    case TIOCMBIS: after = before | (*arg & DRIVEN_LINES); break;
    case TIOCMBIC: after = before & ~(*arg & DRIVEN_LINES); break;
    default: break;
    }
    line->bits = after;
    pthread_mutex_unlock(&linesLock);

    if ((before ^ after) & TIOCM_RTS) {
        ReportRts((after & TIOCM_RTS) != 0, rdev, nowNs);
    }
    return 0;
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);

    pthread_once(&resolveOnce, ResolveReal);
    if (realIoctl == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int modemRequest = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS ||
                       request == TIOCMBIC || request == TIOCSBRK || request == TIOCCBRK;
    if (!modemRequest || fd < 0 || fd >= MAX_TRACKED_FDS) {
        return realIoctl(fd, request, arg);
    }
    int savedErrno = errno;
    int r = realIoctl(fd, request, arg);
    if (r == 0 || (errno != ENOTTY && errno != EINVAL)) {
        return r; /* a real serial device, or a failure that is not ours to hide */
    }
    int failErrno = errno;
    uint64_t rdev = 0;
    if (!IsPtySlave(fd, &rdev)) {
        errno = failErrno;
        return r;
    }
    errno = savedErrno;
    return Emulate(fd, rdev, request, (int*)arg);
}

int tcsetattr(int fd, int when, const struct termios* tio) {
    pthread_once(&resolveOnce, ResolveReal);
    if (realTcsetattr == NULL) {
        errno = ENOSYS;
        return -1;
    }
    uint64_t rdev = 0;
    if (tio != NULL && tio->c_cc[VSTART] == tio->c_cc[VSTOP] && !Lenient() &&
        IsPtySlave(fd, &rdev)) {
        errno = EINVAL;
        return -1;
    }
    return realTcsetattr(fd, when, tio);
}

/* Whether descriptor i, recorded as open on a pty slave, still is on that one: a descriptor may
 * also end without close(), replaced by dup2() or closed inside the C library. */
static int StillOpenOn(int i, uint64_t rdev) {
    uint64_t now = 0;
    if (IsPtySlave(i, &now) && now == rdev) {
        return 1;
    }
    __atomic_store_n(&openPty[i], 0, __ATOMIC_RELAXED);
    return 0;
}

/* A pty slave opened a second time while it is open here is refused, as a COM port is. No lock:
 * close() runs in every thread of wine and perhaps in its signal handlers, and the one process
 * that opens the ports, the wine server, has a single thread. */
int open(const char* path, int flags, ...) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = (mode_t)va_arg(ap, unsigned int);
        va_end(ap);
    }
    pthread_once(&resolveOnce, ResolveReal);
    if (realOpen == NULL) {
        errno = ENOSYS;
        return -1;
    }
    int fd = realOpen(path, flags, mode);
    if (fd < 0 || fd >= MAX_TRACKED_FDS) {
        return fd;
    }
    int savedErrno = errno;
    uint64_t rdev = 0;
    if (!IsPtySlave(fd, &rdev)) {
        errno = savedErrno;
        return fd;
    }
    int refuse = !Lenient();
    for (int i = 0; i < MAX_TRACKED_FDS && refuse; i++) {
        if (i != fd && __atomic_load_n(&openPty[i], __ATOMIC_RELAXED) == rdev + 1 &&
            StillOpenOn(i, rdev)) {
            realClose(fd);
            errno = EACCES;
            return -1;
        }
    }
    __atomic_store_n(&openPty[fd], rdev + 1, __ATOMIC_RELAXED);
    errno = savedErrno;
    return fd;
}

int close(int fd) {
    pthread_once(&resolveOnce, ResolveReal);
    if (realClose == NULL) {
        errno = ENOSYS;
        return -1;
    }
    if (fd >= 0 && fd < MAX_TRACKED_FDS) {
        __atomic_store_n(&openPty[fd], 0, __ATOMIC_RELAXED);
    }
    return realClose(fd);
}
