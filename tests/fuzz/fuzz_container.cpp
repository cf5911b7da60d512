// Fuzz target: unpacks arbitrary bytes as a compressed file container (through a temporary
// file, as the updater does) and reads them directly as an LZMA2 blob.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "deltapatch/container.h"
#include "deltapatch/lzma2blob.h"

namespace {

struct TempFiles {
    std::string input;
    std::string output;

    TempFiles()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/fuzz_container.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            std::abort();
        input = pattern + "/in";
        output = pattern + "/out";
    }
};

const TempFiles& files()
{
    static const TempFiles instance;
    return instance;
}

void unpackAsFile(const uint8_t* data, size_t size)
{
    std::FILE* file = std::fopen(files().input.c_str(), "wb");
    if (file == nullptr)
        std::abort();
    if (size != 0 && std::fwrite(data, 1, size, file) != size)
        std::abort();
    std::fclose(file);
    std::remove(files().output.c_str());
    deltapatch::UnpackContainer(files().input.c_str(), files().output.c_str());
}

void readBlob(const uint8_t* data, size_t size)
{
    deltapatch::ByteSource source(data, size);
    deltapatch::ByteSink sink;
    const size_t before = source.remaining();
    if (!deltapatch::ReadLzma2Blob(&source, &sink))
        return;
    // Success means the declared size came out and the source moved forward within its range.
    if (source.remaining() >= before || source.current() > source.end())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    unpackAsFile(data, size);
    readBlob(data, size);
    return 0;
}
