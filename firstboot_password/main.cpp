// zu-firstboot-password: gives the device's login accounts their factory passwords, once.
#include "firstboot.hpp"

int main() {
    return run_firstboot();
}
