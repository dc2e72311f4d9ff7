// The archive's base name, which names the package directory under the update directory.
#pragma once

#include <string_view>

// Last path component of the archive path, less ".gz" and then (only after that) less ".tar".
std::string_view archive_base_name(std::string_view archive);
