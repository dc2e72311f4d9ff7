// The provisioner's unavoidable work and nothing else: two SHA-512 crypt() calls with default
// rounds, for comparing instruction counts.
#include <crypt.h>

int main() {
    const char *first = crypt("Q91KX3qIkFdZ0K0W", "$6$0123456789abcdef$");
    const char *second = crypt("I5J9Z7f8R70gM2mq", "$6$fedcba9876543210$");
    return first != nullptr && second != nullptr && first[0] == '$' ? 0 : 1;
}
