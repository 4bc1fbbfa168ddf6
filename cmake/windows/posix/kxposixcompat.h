// The few POSIX calls the tools and tests use, mapped onto the C runtime for the Windows build.
// CMake forces this header into every source of kxeye, kxeye-emulator and the test programs
// there (docs/windows.md), so that their sources stay one for both systems. The libraries never
// see it. What Windows cannot do the same way is said at
// each call.
#ifndef KXPOSIXCOMPAT_H
#define KXPOSIXCOMPAT_H

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#ifndef O_CLOEXEC
#define O_CLOEXEC 0  // handles are not inherited unless asked for
#endif
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
#ifndef SIGPIPE
#define SIGPIPE 13  // no such signal: ignoring it is a no-op (signal() answers SIG_ERR)
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) 0  // the C runtime's stat never reports a link
#endif

#ifdef __cplusplus
extern "C++" {
#include <cwchar>

// A private folder from a template ending in XXXXXX.
inline char* mkdtemp(char* pszTemplate) {
    if (_mktemp_s(pszTemplate, strlen(pszTemplate) + 1) != 0) return nullptr;
    return _mkdir(pszTemplate) == 0 ? pszTemplate : nullptr;
}
inline int lstat(const char* pszPath, struct stat* pSt) { return stat(pszPath, pSt); }
// Files get the user's default rights; there is no mode to set.
inline int fchmod(int, unsigned int) { return 0; }
inline int fsync(int fd) { return _commit(fd); }
// Paths of std::filesystem are wide here. There is no execute right: only existence, read, write.
inline int access(const wchar_t* pszPath, int nMode) { return _waccess(pszPath, nMode & 06); }
inline int setenv(const char* pszName, const char* pszValue, int bOverwrite) {
    if (!bOverwrite && getenv(pszName) != nullptr) return 0;
    return _putenv_s(pszName, pszValue) == 0 ? 0 : -1;
}
inline int unsetenv(const char* pszName) { return _putenv_s(pszName, "") == 0 ? 0 : -1; }  // "" removes it
inline int mkfifo(const char*, unsigned int) {
    errno = ENOSYS;  // no named pipes in the file system: run-time fault commands are Linux-only
    return -1;
}

// sigaction over signal(): Ctrl-C arrives as SIGINT; the C runtime resets the handler once it
// has run, which is what SA_RESETHAND asks for.
typedef int sigset_t;
struct sigaction {
    void (*sa_handler)(int);
    sigset_t sa_mask;
    int sa_flags;
};
#define SA_RESETHAND 0
inline int sigemptyset(sigset_t* p) {
    *p = 0;
    return 0;
}
inline int sigaction(int nSignal, const struct sigaction* pNew, struct sigaction* pOld) {
    void (*pfnOld)(int) = signal(nSignal, pNew != nullptr ? pNew->sa_handler : SIG_DFL);
    if (pOld != nullptr) {
        pOld->sa_handler = pfnOld == SIG_ERR ? SIG_DFL : pfnOld;
        pOld->sa_mask = 0;
        pOld->sa_flags = 0;
    }
    return pfnOld == SIG_ERR ? -1 : 0;
}
}
#endif

#endif
