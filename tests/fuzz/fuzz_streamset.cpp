// Fuzz target: stream-set splitting, nested set reads and varint reads on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "deltapatch/streams.h"

using namespace deltapatch;

namespace {

void check(bool condition)
{
    if (!condition)
        std::abort();
}

// Reads one value, which must consume one to five bytes and write back to the same value.
template <typename T>
bool readAndRewrite(ByteSource* source, bool (ByteSource::*read)(T*), bool (ByteSink::*write)(T))
{
    const uint8_t* before = source->current();
    T value{};
    if (!(source->*read)(&value)) {
        check(source->current() == before);
        return false;
    }
    check(source->current() > before && source->current() <= before + 5);
    ByteSink sink;
    check((sink.*write)(value));
    ByteSource again = sink.asSource();
    T back{};
    check((again.*read)(&back) && back == value && again.empty());
    return true;
}

// Reads unsigned and signed varints by turns until the stream runs out.
void readVarints(ByteSource source)
{
    for (bool isSigned = false;; isSigned = !isSigned) {
        const bool ok = isSigned ? readAndRewrite<int32_t>(&source, &ByteSource::readVarint32Signed,
                                                           &ByteSink::writeVarint32Signed)
                                 : readAndRewrite<uint32_t>(&source, &ByteSource::readVarint32,
                                                            &ByteSink::writeVarint32);
        if (!ok)
            return;
    }
}

// Carves nested sets until one fails; each carved stream must lie inside its outer stream.
void readNested(ByteSourceSet* outer)
{
    for (int depth = 0; depth < 64; ++depth) {
        ByteSourceSet inner;
        if (!outer->readSet(&inner))
            return;
        for (size_t i = 0; i < inner.count(); ++i) {
            ByteSource* s = inner.stream(i);
            check(s != nullptr && s->current() <= s->end());
            readVarints(*s);
        }
        if (depth % 2 == 1)
            readNested(&inner);
    }
}

// Splitting, writing back and splitting again gives the same streams.
void roundTrip(ByteSourceSet* set)
{
    ByteSinkSet sinks;
    for (size_t i = 0; i < set->count(); ++i) {
        ByteSource* s = set->stream(i);
        check(sinks.stream(i)->write(s->current(), s->remaining()));
    }
    ByteSink serial;
    check(sinks.copyToOneStream(&serial));
    ByteSourceSet again;
    check(again.init(serial.data(), serial.length()));
    check(again.count() == kMaxStreams);
    for (size_t i = 0; i < set->count(); ++i) {
        const ByteSource* a = set->stream(i);
        const ByteSource* b = again.stream(i);
        check(a->remaining() == b->remaining());
        check(a->remaining() == 0 || std::memcmp(a->current(), b->current(), a->remaining()) == 0);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    readVarints(ByteSource(data, size));
    ByteSourceSet set;
    if (!set.init(data, size)) {
        for (size_t i = 0; i < kMaxStreams; ++i)
            check(set.stream(i) != nullptr && set.stream(i)->empty());
        return 0;
    }
    check(set.count() <= kMaxStreams);
    roundTrip(&set);
    readNested(&set);
    set.allConsumed();
    return 0;
}
