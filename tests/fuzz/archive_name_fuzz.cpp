// The archive base name over any argument text: the last component, less ".gz" and then ".tar".
#include "archive_name.hpp"
#include "fuzz_check.hpp"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // An exact-size heap copy: a read past the argument trips the address checker.
    char *copy = static_cast<char *>(std::malloc(size == 0 ? 1 : size));
    if (size > 0)
        std::memcpy(copy, data, size);
    const std::string_view arg(copy, size);

    const std::string_view got = archive_base_name(arg);

    // Independently: the last component, then the two suffix cuts.
    const std::size_t slash = arg.rfind('/');
    std::string_view want = slash == std::string_view::npos ? arg : arg.substr(slash + 1);
    if (want.ends_with(".gz")) {
        want.remove_suffix(3);
        if (want.ends_with(".tar"))
            want.remove_suffix(4);
    }

    FUZZ_CHECK_EQ(got, want);
    // A view into the argument itself, starting where its last component starts.
    FUZZ_CHECK(got.data() == want.data());
    FUZZ_CHECK(got.find('/') == std::string_view::npos);
    std::free(copy);
    return 0;
}
