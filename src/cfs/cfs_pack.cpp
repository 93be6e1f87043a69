// Making a CFS file: the text compressed into one gzip member, a pad, all encrypted.
#include "base/holders.h"
#include "cfs/cfs.h"
#include "cfs/cfs_internal.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <zlib.h>

namespace {

// Window bits 15 plus 16: a 32 KiB window and a gzip wrapper (header with no name, time 0).
constexpr int k_gzip_window_bits = 31;
constexpr int k_deflate_mem_level = 8;
// The most that one deflate call is handed or asked for; zlib's counts are 32 bits wide.
constexpr size_t k_deflate_step = size_t{1} << 30;

struct deflate_ender {
    void operator()(z_stream *strm) const { deflateEnd(strm); }
};

} // namespace

unsigned char *cfs_pack(const char *text, size_t text_len, unsigned pad_len, size_t *out_len) {
    ErrnoKeeper errno_keeper; // destroyed last: see its comment
    if (pad_len < 1 || pad_len > k_cfs_max_pad) {
        errno = EINVAL;
        errno_keeper.keep();
        return nullptr;
    }
    z_stream strm;
    memset(&strm, 0, sizeof strm);
    int r = deflateInit2(&strm, Z_BEST_COMPRESSION, Z_DEFLATED, k_gzip_window_bits,
                         k_deflate_mem_level, Z_DEFAULT_STRATEGY);
    if (r != Z_OK) {
        errno = r == Z_MEM_ERROR ? ENOMEM : EINVAL;
        errno_keeper.keep();
        return nullptr;
    }
    std::unique_ptr<z_stream, deflate_ender> deflater(&strm);

    size_t cap = deflateBound(&strm, text_len) + pad_len;
    MallocPtr<unsigned char> out(static_cast<unsigned char *>(malloc(cap)));
    if (!out) {
        errno_keeper.keep();
        return nullptr;
    }
    const unsigned char *in = reinterpret_cast<const unsigned char *>(text);
    size_t in_left = text_len;
    size_t used = 0;
    do {
        if (strm.avail_in == 0 && in_left > 0) {
            size_t step = std::min(in_left, k_deflate_step);
            strm.next_in = const_cast<unsigned char *>(in);
            strm.avail_in = static_cast<uInt>(step);
            in += step;
            in_left -= step;
        }
        if (cap - used < pad_len + 1) {
            // deflateBound is an upper bound, so this is only a safety net.
            unsigned char *grown = static_cast<unsigned char *>(realloc(out.get(), cap * 2));
            if (grown == nullptr) {
                errno_keeper.keep();
                return nullptr;
            }
            static_cast<void>(out.release());
            out.reset(grown);
            cap *= 2;
        }
        size_t room = std::min(cap - pad_len - used, k_deflate_step);
        strm.next_out = out.get() + used;
        strm.avail_out = static_cast<uInt>(room);
        r = deflate(&strm, in_left == 0 ? Z_FINISH : Z_NO_FLUSH);
        used += room - strm.avail_out;
        if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) {
            errno = EINVAL;
            errno_keeper.keep();
            return nullptr;
        }
    } while (r != Z_STREAM_END);
    deflater.reset();

    memset(out.get() + used, static_cast<int>(pad_len), pad_len);
    used += pad_len;
    if (used >= k_cfs_max_file_size) {
        errno = EFBIG;
        errno_keeper.keep();
        return nullptr;
    }
    if (cfs_encrypt_in_place(out.get(), used) != 0) {
        errno_keeper.keep();
        return nullptr;
    }
    *out_len = used;
    return out.release();
}
