// Random hex digits from the operating system's random source, read in
// blocks: one system call serves many short ids instead of one each.
#include "pyhost.hpp"

#include <pthread.h>
#include <sys/random.h>
#include <cerrno>
#include <mutex>

namespace pyhost {

namespace {

// A forked child must not hand out the bytes its parent still holds, or
// both would draw the same ids: every fork starts a new generation, and a
// block from an older generation is thrown away.
std::atomic<unsigned> fork_generation{0};
std::once_flag atfork_registered;

void after_fork_in_child() { fork_generation.fetch_add(1, std::memory_order_relaxed); }

struct RandomBlock {
    unsigned char bytes[512];
    std::size_t used = sizeof bytes;
    unsigned generation = 0;
};

// One block per thread: no lock, and interpreters never share one.
thread_local RandomBlock block;

bool refill(RandomBlock& b) {
    std::size_t got = 0;
    while (got < sizeof b.bytes) {
        ssize_t n = getrandom(b.bytes + got, sizeof b.bytes - got, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            PyErr_SetFromErrno(PyExc_OSError);
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    b.used = 0;
    return true;
}

}  // namespace

bool random_hex(char* out, int ndigits) {
    std::call_once(atfork_registered, [] { pthread_atfork(nullptr, nullptr, after_fork_in_child); });
    const std::size_t nbytes = static_cast<std::size_t>(ndigits) / 2;
    const unsigned generation = fork_generation.load(std::memory_order_relaxed);
    if (block.generation != generation) {
        block.used = sizeof block.bytes;
        block.generation = generation;
    }
    if (sizeof block.bytes - block.used < nbytes && !refill(block)) return false;
    static const char hex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < nbytes; ++i) {
        unsigned char b = block.bytes[block.used++];
        out[2 * i] = hex[b >> 4];
        out[2 * i + 1] = hex[b & 0x0f];
    }
    return true;
}

}  // namespace pyhost
