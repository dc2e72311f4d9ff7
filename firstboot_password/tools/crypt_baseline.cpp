// The provisioner's unavoidable work and nothing else: two SHA-512 crypt() calls with default
// rounds, for comparing instruction counts, and on the device their time beside a first boot's.
// Prints the two calls' elapsed monotonic time in seconds.
#include <crypt.h>
#include <stdio.h>
#include <time.h>

int main() {
    timespec start{};
    timespec end{};
    if (clock_gettime(CLOCK_MONOTONIC, &start) != 0) {
        perror("clock_gettime");
        return 1;
    }
    const char *first = crypt("Q91KX3qIkFdZ0K0W", "$6$0123456789abcdef$");
    const bool first_ok = first != nullptr && first[0] == '$';
    const char *second = crypt("I5J9Z7f8R70gM2mq", "$6$fedcba9876543210$");
    const bool second_ok = second != nullptr && second[0] == '$';
    if (clock_gettime(CLOCK_MONOTONIC, &end) != 0) {
        perror("clock_gettime");
        return 1;
    }
    if (!first_ok || !second_ok) {
        fputs("crypt: no SHA-512 hash\n", stderr);
        return 1;
    }
    long long nanoseconds = (static_cast<long long>(end.tv_sec) - start.tv_sec) * 1000000000LL +
                            (end.tv_nsec - start.tv_nsec);
    printf("%lld.%06lld\n", nanoseconds / 1000000000LL, nanoseconds % 1000000000LL / 1000);
    return 0;
}
