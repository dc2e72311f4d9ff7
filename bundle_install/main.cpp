#include "bundle_install.hpp"

int main(int argc, char **argv) {
    return bundle_install_main(argc, argv);
}
