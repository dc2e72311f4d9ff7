#include "report.hpp"

#include <syslog.h>

#include <cstdarg>

void report_error(const char *format, ...) {
    openlog(kLogIdent, LOG_PID, LOG_AUTH);
    va_list args;
    va_start(args, format);
    vsyslog(LOG_ERR, format, args);
    va_end(args);
    closelog();
}

void wipe(void *buffer, std::size_t length) {
    volatile unsigned char *bytes = static_cast<volatile unsigned char *>(buffer);
    for (std::size_t i = 0; i < length; ++i)
        bytes[i] = 0;
}
