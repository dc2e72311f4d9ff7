// Reading the manifest and installing the packages it lists.
#pragma once

// Installs every package of the manifest's "order" array from package_dir, in order, stopping at
// the first failure; 0 when all were installed, -1 after printing why not.
int process_manifest(const char *manifest_path, const char *package_dir);

// Installs one package file with the package manager; 0 or -1.
int install_package(const char *package_path);
