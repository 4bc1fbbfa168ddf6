// The library's own log lines, filtered by Orvik::utilSystem::Logger's level.
#ifndef ORLOG_H
#define ORLOG_H

#include "oreyeapi.h"

namespace OrLog {
void Print(Orvik::utilSystem::LogLevel eLevel, const char* pszFormat, ...)
    __attribute__((format(printf, 2, 3)));
}

#endif
