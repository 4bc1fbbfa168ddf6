// prctl() for the tools' Windows build: the emulator only asks for a finer timer slack when it
// paces a replay, which Windows does not have; the call does nothing there.
#ifndef KX_COMPAT_SYS_PRCTL_H
#define KX_COMPAT_SYS_PRCTL_H
#define PR_SET_TIMERSLACK 29
inline int prctl(int, unsigned long, unsigned long, unsigned long, unsigned long) { return 0; }
#endif
