// Preloaded to stand for a C library built without SHA-512 crypt, as some musl builds are: crypt()
// gives a null pointer, or "*" when ZU_CRYPT_STAR is set.
#include <cstdlib>

extern "C" char *crypt(const char *, const char *) {
    static char star[] = "*";
    return std::getenv("ZU_CRYPT_STAR") != nullptr ? star : nullptr;
}
