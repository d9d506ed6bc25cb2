#pragma once
// zlib's one-call compress2 and uncompress, on streams each thread keeps for the next call. A
// deflate stream at level 6 holds about 256 KiB of tables: made and dropped for every block or
// small file, it costs more than compressing a few KiB, and its fresh pages fault in every time.
//
// Threads: any; each thread uses its own streams (thread-local), so no lock.

#include <cstddef>

namespace ZlibStreams {

// As compress2: `src` (`length` bytes) into `dst` (room for `*dstLength` bytes, which becomes the
// compressed length) at `level` (0..9), zlib format. A zlib result code: Z_OK, or Z_BUF_ERROR when
// `dst` is too small, Z_MEM_ERROR, Z_STREAM_ERROR for a bad level.
int Compress(unsigned char* dst, unsigned long* dstLength, const unsigned char* src, unsigned long length,
             int level);
// As uncompress: the zlib stream `src` (`length` bytes) into `dst` (room for `*dstLength` bytes,
// which becomes the inflated length). Z_OK, Z_BUF_ERROR when `dst` is too small or the stream is
// cut short, Z_DATA_ERROR for bad data, Z_MEM_ERROR.
int Uncompress(unsigned char* dst, unsigned long* dstLength, const unsigned char* src, unsigned long length);

} // namespace ZlibStreams
