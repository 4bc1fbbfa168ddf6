// waitpid for the tools' Windows build; nothing is ever spawned there (spawn.h).
#ifndef KX_COMPAT_SYS_WAIT_H
#define KX_COMPAT_SYS_WAIT_H
#include <sys/types.h>
inline pid_t waitpid(pid_t, int* pnStatus, int) {
    if (pnStatus) *pnStatus = 0x7f00;
    return -1;
}
#define WIFEXITED(s) (((s) & 0x7f) == 0)
#define WEXITSTATUS(s) (((s) >> 8) & 0xff)
#endif
