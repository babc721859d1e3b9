// Random ids from the operating system's random source.
#include "pyhost.hpp"

#include <sys/random.h>
#include <cerrno>

namespace pyhost {

bool uuid4_hex(char out[32]) {
    unsigned char b[16];
    std::size_t got = 0;
    while (got < sizeof b) {
        ssize_t n = getrandom(b + got, sizeof b - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
    static const char hex[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        out[2 * i] = hex[b[i] >> 4];
        out[2 * i + 1] = hex[b[i] & 0x0f];
    }
    return true;
}

}  // namespace pyhost
