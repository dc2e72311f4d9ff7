// The installer's run: unpack, find the manifest, install its packages.
#pragma once

// Whole program; returns the exit status (0 or 1).
int bundle_install_main(int argc, char **argv);
