#include "Transfer/ZlibStreams.h"

#include <zlib.h>

namespace {

// One thread's streams, ended with the thread.
struct Streams {
    z_stream deflater{};
    int level = -1; // the level `deflater` was made for; -1: none made
    z_stream inflater{};
    bool inflating = false;
    ~Streams() {
        if (level >= 0)
            deflateEnd(&deflater);
        if (inflating)
            inflateEnd(&inflater);
    }
};
thread_local Streams t_streams;

} // namespace

namespace ZlibStreams {

int Compress(unsigned char* dst, unsigned long* dstLength, const unsigned char* src, unsigned long length,
             int level) {
    Streams& streams = t_streams;
    z_stream& stream = streams.deflater;
    if (streams.level != level) {
        if (streams.level >= 0)
            deflateEnd(&stream);
        streams.level = -1;
        stream = z_stream{};
        const int made = deflateInit(&stream, level);
        if (made != Z_OK)
            return made;
        streams.level = level;
    } else if (deflateReset(&stream) != Z_OK) {
        return Z_STREAM_ERROR;
    }
    stream.next_in = const_cast<Bytef*>(src);
    stream.avail_in = uInt(length);
    stream.next_out = dst;
    stream.avail_out = uInt(*dstLength);
    const int result = deflate(&stream, Z_FINISH);
    *dstLength = stream.total_out;
    return result == Z_STREAM_END ? Z_OK : result == Z_OK ? Z_BUF_ERROR : result;
}

int Uncompress(unsigned char* dst, unsigned long* dstLength, const unsigned char* src, unsigned long length) {
    Streams& streams = t_streams;
    z_stream& stream = streams.inflater;
    if (!streams.inflating) {
        stream = z_stream{};
        const int made = inflateInit(&stream);
        if (made != Z_OK)
            return made;
        streams.inflating = true;
    } else if (inflateReset(&stream) != Z_OK) {
        return Z_STREAM_ERROR;
    }
    stream.next_in = const_cast<Bytef*>(src);
    stream.avail_in = uInt(length);
    stream.next_out = dst;
    stream.avail_out = uInt(*dstLength);
    const int result = inflate(&stream, Z_FINISH);
    *dstLength = stream.total_out;
    if (result == Z_STREAM_END)
        return Z_OK;
    if (result == Z_NEED_DICT)
        return Z_DATA_ERROR;
    // As uncompress: out of room is a buffer error, a stream cut short (room left) bad data.
    if (result == Z_OK || result == Z_BUF_ERROR)
        return stream.avail_out == 0 ? Z_BUF_ERROR : Z_DATA_ERROR;
    return result;
}

} // namespace ZlibStreams
