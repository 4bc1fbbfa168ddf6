// posix_spawn for the tools' Windows build: the emulator runs `ip` to give its card the
// cameras' addresses; Windows has no such tool, so the spawn fails and the card must carry the
// addresses already (docs/windows.md).
#ifndef KX_COMPAT_SPAWN_H
#define KX_COMPAT_SPAWN_H
#include <errno.h>
#include <sys/types.h>
typedef int posix_spawn_file_actions_t;
typedef int posix_spawnattr_t;
inline int posix_spawn_file_actions_init(posix_spawn_file_actions_t*) { return 0; }
inline int posix_spawn_file_actions_destroy(posix_spawn_file_actions_t*) { return 0; }
inline int posix_spawn_file_actions_addopen(posix_spawn_file_actions_t*, int, const char*, int, int) { return 0; }
inline int posix_spawnp(pid_t*, const char*, const posix_spawn_file_actions_t*, const posix_spawnattr_t*,
                        char* const*, char* const*) {
    return ENOSYS;
}
#endif
