#include "archive_name.hpp"

namespace {

// Cuts suffix (which must start at the last '.') off name; true when it did. Uses no substr:
// its range check would pull in the C++ runtime.
bool cut_suffix(std::string_view &name, std::string_view suffix) {
    auto dot = name.rfind('.');
    if (dot == std::string_view::npos || name.size() - dot != suffix.size() ||
        !name.ends_with(suffix))
        return false;
    name.remove_suffix(suffix.size());
    return true;
}

}  // namespace

std::string_view archive_base_name(std::string_view archive) {
    auto slash = archive.rfind('/');
    std::string_view name = archive;
    if (slash != std::string_view::npos)
        name.remove_prefix(slash + 1);
    if (cut_suffix(name, ".gz"))
        cut_suffix(name, ".tar");
    return name;
}
