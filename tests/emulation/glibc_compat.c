/* The two C23 entry points that the emulator's Python wheel was linked
 * against and that Debian's C library (2.36) does not have yet. They differ
 * from the older functions only in accepting "0b" binary literals, which the
 * emulator never parses. Loaded with RTLD_GLOBAL before the wheel's module. */
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>

unsigned long long __isoc23_strtoull(const char* text, char** end, int base) {
    return strtoull(text, end, base);
}

int __isoc23_sscanf(const char* text, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int n = vsscanf(text, format, args);
    va_end(args);
    return n;
}
