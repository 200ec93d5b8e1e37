#pragma once

// What the benchmarks share: the clock of a thread's processor time, a blocking read of an exact
// length, the median of the rounds, and data to send.
#include <algorithm>
#include <ctime>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <sys/types.h>

namespace bench {

// Processor time of the calling thread.
inline long long ThreadCpuMicroseconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000000LL + now.tv_nsec / 1000;
}

// False once the stream ends or fails first.
inline bool ReadExactly(int fd, char* buffer, size_t length)
{
    while (length > 0) {
        const ssize_t got = recv(fd, buffer, length, 0);
        if (got <= 0) {
            return false;
        }
        buffer += got;
        length -= static_cast<size_t>(got);
    }
    return true;
}

inline double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// The same bytes for the same seed, so that a received copy can be compared.
inline std::string PseudoRandomBytes(size_t length, unsigned seed)
{
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1103515245 + 12345;
        byte = static_cast<char>(seed >> 16);
    }
    return bytes;
}

} // namespace bench
