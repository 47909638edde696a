// Reads arbitrary bytes as project.json. A project that reads must write,
// read back equal, and write the same text again.

#include "model/project_json.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    const auto read = korvane::readProjectJson(bytes);
    if (!read) {
        if (read.error.empty())
            std::abort();
        return 0;
    }
    const auto written = korvane::writeProjectJson(*read.value);
    if (!written)
        std::abort();
    const auto again = korvane::readProjectJson(*written.value);
    if (!again || !(*again.value == *read.value))
        std::abort();
    if (*korvane::writeProjectJson(*again.value).value != *written.value)
        std::abort();
    return 0;
}
