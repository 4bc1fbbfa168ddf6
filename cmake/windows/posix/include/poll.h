// poll() for the tools' Windows build: only the emulator's fault pipe waits with it, and that
// pipe cannot be made on Windows (kxposixcompat.h), so this never waits on a real descriptor.
#ifndef KX_COMPAT_POLL_H
#define KX_COMPAT_POLL_H
#include <windows.h>
struct pollfd {
    int fd;
    short events;
    short revents;
};
#define POLLIN 0x0001
inline int poll(struct pollfd*, unsigned long, int nTimeoutMs) {
    if (nTimeoutMs > 0) Sleep(static_cast<DWORD>(nTimeoutMs));
    return 0;
}
#endif
