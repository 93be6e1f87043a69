// The CFS container: Triple DES (EDE, three keys) in 64-bit cipher feedback over a gzip
// member and a pad. This is the one file that calls the DES functions of libcrypto.
#include "base/holders.h"
#include "cfs/cfs.h"
#include "cfs/cfs_internal.h"

#include <cstring>
#include <sys/stat.h>
#include <zlib.h>

// OpenSSL 3 marks the low-level DES interface deprecated. The CFS format is fixed by the files
// already in the field, so this file keeps using it and silences that one warning here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <openssl/crypto.h>
#include <openssl/des.h>

int CfsError = CFS_OK;

namespace {

constexpr int k_cfs_key_count = 3;
constexpr size_t k_des_key_len = 8;
// The built-in key "CopperKitesHollowMarbles": characters 1-8 are key 1, 9-16 key 2, 17-24
// key 3, used as they stand (no parity fix, no weak-key check).
constexpr unsigned char k_cfs_key[k_cfs_key_count * k_des_key_len] = {
    'C', 'o', 'p', 'p', 'e', 'r', 'K', 'i', 't', 'e', 's', 'H',
    'o', 'l', 'l', 'o', 'w', 'M', 'a', 'r', 'b', 'l', 'e', 's'};
// The built-in initial vector; every load and pack starts from a fresh copy of it.
constexpr unsigned char k_cfs_iv[8] = {0x3c, 0xa1, 0x07, 0x5e, 0xd2, 0x49, 0x18, 0xf6};
// Size of the inflater's output chunk.
constexpr size_t k_inflate_chunk = 1024;
// Window bits 15 plus 16: a 32 KiB window and the gzip wrapper only.
constexpr int k_gzip_window_bits = 31;

struct cfs_schedules {
    DES_key_schedule ks[k_cfs_key_count];
};

struct cfs_schedules_release {
    void operator()(cfs_schedules *s) const {
        OPENSSL_cleanse(s, sizeof *s);
        free(s);
    }
};
using cfs_schedules_ptr = std::unique_ptr<cfs_schedules, cfs_schedules_release>;

struct inflate_ender {
    void operator()(z_stream *strm) const { inflateEnd(strm); }
};

// Allocates the three DES key schedules and fills each from its 8 key characters, in key
// order. Returns the schedules, or nullptr (errno from the allocation) when memory ran out.
cfs_schedules_ptr cfs_make_schedules() {
    cfs_schedules_ptr s(static_cast<cfs_schedules *>(malloc(sizeof(cfs_schedules))));
    if (!s) {
        return s;
    }
    for (int k = 0; k < k_cfs_key_count; ++k) {
        DES_cblock key;
        memcpy(key, k_cfs_key + k * k_des_key_len, k_des_key_len);
        DES_set_key_unchecked(&key, &s->ks[k]);
    }
    return s;
}

// Runs CFB-64 over buf in place, from a fresh copy of the initial vector at keystream
// position 0, in the direction DES_ENCRYPT or DES_DECRYPT.
void cfs_cfb64(unsigned char *buf, size_t len, cfs_schedules *s, int direction) {
    DES_cblock iv;
    memcpy(iv, k_cfs_iv, sizeof iv);
    int num = 0;
    DES_ede3_cfb64_encrypt(buf, buf, static_cast<long>(len), &s->ks[0], &s->ks[1], &s->ks[2], &iv,
                           &num, direction);
    OPENSSL_cleanse(iv, sizeof iv);
}

// Returns the length of the open file (seek to its end, read the position, rewind), or -1
// when the stream cannot be positioned.
long file_length(FILE *f) {
    if (fseek(f, 0, SEEK_END) != 0) {
        return -1;
    }
    long len = ftell(f);
    rewind(f);
    return len;
}

} // namespace

int cfs_last_error() {
    int code = CfsError;
    CfsError = CFS_OK;
    return code;
}

int cfs_encrypt_in_place(unsigned char *buf, size_t len) {
    cfs_schedules_ptr s = cfs_make_schedules();
    if (!s) {
        return -1;
    }
    cfs_cfb64(buf, len, s.get(), DES_ENCRYPT);
    return 0;
}

char *cfs_load(const char *path) {
    size_t text_len = 0;
    return cfs_load_with_length(path, &text_len);
}

char *cfs_load_with_length(const char *path, size_t *text_len) {
    ErrnoKeeper errno_keeper; // destroyed last: see its comment
    FilePtr file(fopen(path, "rb"));
    if (!file) {
        CfsError = CFS_ERR_OPEN;
        return nullptr;
    }
    // A directory opens, but its "length" is no byte count; reading it fails, so it is
    // reported as unreadable before its position could be taken for a size.
    struct stat st;
    if (fstat(fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
        CfsError = CFS_ERR_READ;
        return nullptr;
    }
    long file_len = file_length(file.get());
    if (file_len < 0) {
        CfsError = CFS_ERR_READ;
        return nullptr;
    }
    // The whole file goes to the inflater as one input with a 32-bit count, so a file of
    // 4 GiB or more cannot be a CFS file; it is refused before it is read.
    if (static_cast<unsigned long long>(file_len) >= k_cfs_max_file_size) {
        CfsError = CFS_ERR_DECRYPT;
        return nullptr;
    }
    size_t len = static_cast<size_t>(file_len);
    // An empty file still gets a (1-byte) buffer, so that it fails as undecryptable below and
    // not as an allocation failure.
    MallocPtr<unsigned char> buf(static_cast<unsigned char *>(malloc(len > 0 ? len : 1)));
    if (!buf) {
        errno_keeper.keep();
        CfsError = CFS_ERR_NOMEM;
        return nullptr;
    }
    if (fread(buf.get(), 1, len, file.get()) != len) {
        CfsError = CFS_ERR_READ;
        return nullptr;
    }
    file.reset();

    cfs_schedules_ptr schedules = cfs_make_schedules();
    if (!schedules) {
        errno_keeper.keep();
        CfsError = CFS_ERR_NOMEM;
        return nullptr;
    }
    cfs_cfb64(buf.get(), len, schedules.get(), DES_DECRYPT);

    // The last decrypted byte counts the pad bytes, itself included.
    if (len == 0 || buf.get()[len - 1] > len) {
        CfsError = CFS_ERR_DECRYPT;
        return nullptr;
    }
    size_t in_len = len - buf.get()[len - 1];

    z_stream strm;
    memset(&strm, 0, sizeof strm);
    strm.next_in = buf.get();
    strm.avail_in = static_cast<uInt>(in_len);
    // A failed initialisation is not judged here: inflate then never reaches the end of the
    // stream, and the load fails as undecryptable below.
    inflateInit2(&strm, k_gzip_window_bits);
    std::unique_ptr<z_stream, inflate_ender> inflater(&strm);

    MallocPtr<char> text;
    size_t used = 0;
    int r;
    unsigned char chunk[k_inflate_chunk];
    do {
        strm.next_out = chunk;
        strm.avail_out = sizeof chunk;
        r = inflate(&strm, Z_NO_FLUSH);
        if (r == Z_NEED_DICT || r == Z_DATA_ERROR || r == Z_MEM_ERROR) {
            CfsError = CFS_ERR_DECRYPT;
            return nullptr;
        }
        size_t produced = sizeof chunk - strm.avail_out;
        // The block grows by exactly what the chunk produced, plus the terminator's byte.
        char *grown = static_cast<char *>(realloc(text.get(), used + produced + 1));
        if (grown == nullptr) {
            errno_keeper.keep();
            CfsError = CFS_ERR_NOMEM;
            return nullptr;
        }
        static_cast<void>(text.release());
        text.reset(grown);
        memcpy(text.get() + used, chunk, produced);
        used += produced;
    } while (strm.avail_out == 0);

    inflater.reset();
    schedules.reset();
    buf.reset();
    if (r != Z_STREAM_END) {
        CfsError = CFS_ERR_DECRYPT;
        return nullptr;
    }
    text.get()[used] = '\0';
    *text_len = used;
    return text.release();
}

#pragma GCC diagnostic pop
