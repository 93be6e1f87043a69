// The CFS container: files are built here independently of the module (a hand-made gzip member
// of stored blocks, CFB-64 written out over the plain Triple DES block), and also with
// cfs_pack, so that a fault shared by the packer and the loader cannot hide.
#include "cfs/cfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>
#include <zlib.h>

namespace {

using bytes = std::vector<uint8_t>;

const uint8_t k_key[24] = {'C', 'o', 'p', 'p', 'e', 'r', 'K', 'i', 't', 'e', 's', 'H',
                           'o', 'l', 'l', 'o', 'w', 'M', 'a', 'r', 'b', 'l', 'e', 's'};
const uint8_t k_iv[8] = {0x3c, 0xa1, 0x07, 0x5e, 0xd2, 0x49, 0x18, 0xf6};

bytes to_bytes(const std::string &s) {
    return bytes(s.begin(), s.end());
}

// CFB-64 written out: each keystream block is the Triple DES encryption of the previous
// ciphertext block (at first the initial vector); ciphertext = plaintext XOR keystream.
bytes cfb64(const bytes &in, bool encrypt, const uint8_t *iv = k_iv) {
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_des_ede3_ecb(), nullptr, k_key, nullptr), 1);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    uint8_t feedback[8];
    memcpy(feedback, iv, 8);
    uint8_t stream[8];
    bytes out(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        if (i % 8 == 0) {
            int n = 0;
            EXPECT_EQ(EVP_EncryptUpdate(ctx, stream, &n, feedback, 8), 1);
        }
        out[i] = in[i] ^ stream[i % 8];
        feedback[i % 8] = encrypt ? out[i] : in[i];
    }
    EVP_CIPHER_CTX_free(ctx);
    return out;
}

void put_le32(bytes &b, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

// A gzip member (RFC 1952) made by hand: header with no name and time 0, the text in stored
// deflate blocks of at most 65535 bytes, CRC-32 and length.
bytes gzip_stored(const std::string &text) {
    bytes g = {0x1f, 0x8b, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(text.size() - pos, 65535);
        bool last = pos + n == text.size();
        g.push_back(last ? 0x01 : 0x00);
        g.push_back(static_cast<uint8_t>(n));
        g.push_back(static_cast<uint8_t>(n >> 8));
        g.push_back(static_cast<uint8_t>(~n));
        g.push_back(static_cast<uint8_t>(~n >> 8));
        g.insert(g.end(), text.begin() + pos, text.begin() + pos + n);
        pos += n;
    } while (pos < text.size());
    uLong crc = crc32(0, reinterpret_cast<const Bytef *>(text.data()), text.size());
    put_le32(g, static_cast<uint32_t>(crc));
    put_le32(g, static_cast<uint32_t>(text.size()));
    return g;
}

bytes with_pad(bytes b, const bytes &pad) {
    b.insert(b.end(), pad.begin(), pad.end());
    return b;
}

// gzip member + n pad bytes (junk, the last one holding n), encrypted by hand.
bytes independent_cfs(const std::string &text, uint8_t n = 8) {
    bytes pad(n);
    for (size_t i = 0; i < pad.size(); ++i) {
        pad[i] = static_cast<uint8_t>(0xa5 ^ (i * 37));
    }
    if (n > 0) {
        pad.back() = n;
    }
    return cfb64(with_pad(gzip_stored(text), pad), true);
}

bytes packed_cfs(const std::string &text, unsigned pad = 8) {
    size_t len = 0;
    unsigned char *p = cfs_pack(text.data(), text.size(), pad, &len);
    EXPECT_NE(p, nullptr);
    if (p == nullptr) {
        return {};
    }
    bytes b(p, p + len);
    free(p);
    return b;
}

std::string temp_path(const char *name) {
    return ::testing::TempDir() + "cfs_container_" + std::to_string(getpid()) + "_" + name;
}

// A file under the test's temporary directory, removed when the holder goes.
struct temp_file {
    std::string path;
    explicit temp_file(std::string p) : path(std::move(p)) {}
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;
    ~temp_file() { unlink(path.c_str()); }
};

temp_file write_temp(const bytes &b) {
    static int serial = 0;
    std::string path = temp_path(("file" + std::to_string(++serial) + ".cfs").c_str());
    FILE *out = fopen(path.c_str(), "wb");
    EXPECT_NE(out, nullptr);
    if (out != nullptr) {
        if (!b.empty()) {
            EXPECT_EQ(fwrite(b.data(), 1, b.size(), out), b.size());
        }
        fclose(out);
    }
    return temp_file(path);
}

// Loads path; returns the text (with its length, NULs kept) and the code left in CfsError.
struct load_result {
    bool ok;
    std::string text;
    int code;
};
load_result load(const temp_file &file) {
    size_t len = 12345;
    char *t = cfs_load_with_length(file.path.c_str(), &len);
    load_result r{t != nullptr, t != nullptr ? std::string(t, len) : "", cfs_last_error()};
    if (t != nullptr) {
        EXPECT_EQ(t[len], '\0');
    }
    free(t);
    return r;
}

std::string sample_text(size_t len) {
    std::string s;
    for (size_t i = 0; s.size() < len; ++i) {
        s += "QX" + std::to_string(1000 + i % 9000) + "A;A1??;fw/image_" + std::to_string(i) +
             ".bin;B205\n";
    }
    s.resize(len);
    return s;
}

TEST(CfsCipher, MatchesOpensslEncOutput) {
    // openssl enc -des-ede3-cfb -K <hex of the key> -iv 3ca1075ed24918f6 of this line.
    const bytes plain = to_bytes("QX2000A;A1??;fw/a.bin;B205\n");
    const bytes expected = {0x1c, 0x3a, 0x75, 0xe5, 0xb6, 0x3a, 0x26, 0x24, 0x44,
                            0xad, 0x7b, 0xa0, 0x7f, 0x53, 0x36, 0x09, 0x7a, 0xf4,
                            0x0a, 0x60, 0xeb, 0x29, 0x2e, 0x5f, 0xaf, 0x96, 0x2a};
    EXPECT_EQ(cfb64(plain, true), expected);
    EXPECT_EQ(cfb64(expected, false), plain);
    bytes b = plain;
    ASSERT_EQ(cfs_encrypt_in_place(b.data(), b.size()), 0);
    EXPECT_EQ(b, expected);
}

TEST(CfsLoad, TextsOfEveryChunkBoundaryLoadExactly) {
    for (size_t len : {0, 1, 1023, 1024, 1025, 2048, 3072, 70000, 200000}) {
        std::string text = sample_text(len);
        SCOPED_TRACE(len);
        for (const bytes &file : {independent_cfs(text), packed_cfs(text)}) {
            load_result r = load(write_temp(file));
            EXPECT_TRUE(r.ok);
            EXPECT_EQ(r.code, CFS_OK);
            EXPECT_EQ(r.text, text);
        }
    }
}

TEST(CfsLoad, PadCountDecidesWhatIsDropped) {
    const std::string text = "QX2000A;A1??;fw/a.bin;B205\n";
    const bytes gz = gzip_stored(text);
    struct pad_case {
        const char *name;
        bytes pad;
    } cases[] = {
        {"pad 1 drops only itself", {0x01}},
        {"pad 8 with junk before it", {0xff, 0x00, 0x13, 0x08, 0x99, 0x42, 0x7f, 0x08}},
        {"pad 0 drops nothing; the byte behind the member is ignored", {0x00}},
        {"no pad: the length trailer's last byte 0 counts as pad 0", {}},
        {"pad 255", with_pad(bytes(254, 0x37), {0xff})},
        // The second member ends in its length's top byte 0 (pad 0), so all of it stays
        // behind the first member and is ignored.
        {"a second gzip member behind the first", gzip_stored("second member\n")},
        {"a second member and a pad of 8",
         with_pad(gzip_stored("second member\n"), {1, 2, 3, 4, 5, 6, 7, 8})},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        load_result r = load(write_temp(cfb64(with_pad(gz, c.pad), true)));
        EXPECT_TRUE(r.ok);
        EXPECT_EQ(r.code, CFS_OK);
        EXPECT_EQ(r.text, text);
    }
}

TEST(CfsLoad, ContentThatIsNoCompleteGzipMemberFailsWithCode4) {
    const std::string text = sample_text(3000);
    const bytes gz = gzip_stored(text);
    const bytes whole = independent_cfs(text);
    bytes flipped = whole;
    flipped[1500] ^= 0x04;
    bytes wrong_iv_cfs = cfb64(with_pad(gz, {0x01}), true, k_key);
    bytes zlib_wrapped(compressBound(text.size()));
    uLongf zlen = zlib_wrapped.size();
    ASSERT_EQ(compress(zlib_wrapped.data(), &zlen, reinterpret_cast<const Bytef *>(text.data()),
                       text.size()),
              Z_OK);
    zlib_wrapped.resize(zlen);
    // Without its 10-byte header and 8-byte trailer the member is a raw deflate stream.
    bytes raw(gz.begin() + 10, gz.end() - 8);

    struct fail_case {
        const char *name;
        bytes file;
    } cases[] = {
        {"empty file", {}},
        {"pad count equal to the whole length", cfb64(bytes(8, 0x08), true)},
        {"pad count larger than the length", cfb64({0x00, 0x00, 0x09}, true)},
        {"pad count beyond a whole member", cfb64(with_pad(gzip_stored("A;B\n"), {0xff}), true)},
        {"one flipped byte in the compressed data", flipped},
        {"cut off in the middle", bytes(whole.begin(), whole.begin() + whole.size() / 2)},
        {"cut off by its last pad byte", bytes(whole.begin(), whole.end() - 1)},
        {"plain gzip, not encrypted", with_pad(gz, {0x01})},
        {"encrypted with another initial vector", wrong_iv_cfs},
        {"zlib wrapper instead of gzip", cfb64(with_pad(zlib_wrapped, {0x01}), true)},
        {"raw deflate without a wrapper", cfb64(with_pad(raw, {0x01}), true)},
        {"gzip member without its trailer",
         cfb64(with_pad(bytes(gz.begin(), gz.end() - 8), {0x01}), true)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        load_result r = load(write_temp(c.file));
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.code, CFS_ERR_DECRYPT);
    }
}

TEST(CfsLoad, MissingFileIsCode1AndTheCodeIsReadOnce) {
    EXPECT_EQ(cfs_load(temp_path("does_not_exist").c_str()), nullptr);
    EXPECT_EQ(cfs_last_error(), CFS_ERR_OPEN);
    EXPECT_EQ(cfs_last_error(), CFS_OK);
}

// A directory and a pipe (a map given as <(...)) open, but have no length to be read.
TEST(CfsLoad, DirectoryAndPipeAreCode3) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (const std::string &path :
         {::testing::TempDir(), "/proc/self/fd/" + std::to_string(fds[0])}) {
        EXPECT_EQ(cfs_load(path.c_str()), nullptr) << path;
        EXPECT_EQ(cfs_last_error(), CFS_ERR_READ) << path;
    }
    close(fds[0]);
    close(fds[1]);
}

TEST(CfsLoad, SuccessLeavesAnEarlierCodeInPlace) {
    temp_file file = write_temp(independent_cfs("A;B;C;D\n"));
    EXPECT_EQ(cfs_load(temp_path("does_not_exist").c_str()), nullptr);
    char *t = cfs_load(file.path.c_str());
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t, "A;B;C;D\n");
    free(t);
    EXPECT_EQ(cfs_last_error(), CFS_ERR_OPEN);
}

TEST(CfsLoad, SameFileTwiceGivesTheSameText) {
    std::string text = sample_text(5000);
    temp_file file = write_temp(independent_cfs(text));
    EXPECT_EQ(load(file).text, text);
    EXPECT_EQ(load(file).text, text);
}

TEST(CfsLoad, NulInsideTheTextIsKept) {
    std::string text("QX;A;fw/a.bin;B\n\0tail\n", 23);
    load_result r = load(write_temp(independent_cfs(text)));
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.text, text);
}

std::string sparse_file(const char *name, off_t size) {
    std::string path = temp_path(name);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    EXPECT_GE(fd, 0);
    bool ok = ftruncate(fd, size) == 0;
    close(fd);
    return ok ? path : "";
}

TEST(CfsLoad, FileOf4GiBOrMoreIsRefusedBeforeReading) {
    for (off_t size : {off_t{1} << 32, (off_t{1} << 32) + 1, off_t{1} << 40}) {
        std::string path = sparse_file("huge.cfs", size);
        if (path.empty()) {
            GTEST_SKIP() << "the temporary directory takes no sparse file of " << size;
        }
        EXPECT_EQ(cfs_load(path.c_str()), nullptr);
        EXPECT_EQ(cfs_last_error(), CFS_ERR_DECRYPT);
        unlink(path.c_str());
    }
}

#if !defined(__SANITIZE_ADDRESS__)
// Runs in the death test's child: loads path with the address space held to 1 GiB, reports
// the code as the programs do, and exits 0 when the load failed with code 2.
void load_with_little_memory(const std::string &path) {
    struct rlimit lim;
    lim.rlim_cur = lim.rlim_max = 1UL << 30;
    setrlimit(RLIMIT_AS, &lim);
    errno = 0;
    char *t = cfs_load(path.c_str());
    int code = cfs_last_error();
    cfs_report_load_error(code, path.c_str());
    _exit(t == nullptr && code == CFS_ERR_NOMEM ? 0 : 1);
}

TEST(CfsLoadDeathTest, FailedAllocationIsCode2WithItsErrnoForPerror) {
    // A file just under 4 GiB cannot get its buffer in 1 GiB of address space; the report is
    // the system's text for that failure alone.
    std::string path = sparse_file("big.cfs", (off_t{1} << 32) - 1);
    if (path.empty()) {
        GTEST_SKIP() << "the temporary directory takes no sparse file";
    }
    EXPECT_EXIT(load_with_little_memory(path), ::testing::ExitedWithCode(0),
                "^Cannot allocate memory\n$");
    unlink(path.c_str());
}
#endif

TEST(CfsPack, PadLengthOutsideOneTo255IsRefused) {
    for (unsigned pad : {0u, 256u, 1000u}) {
        size_t len = 0;
        errno = 0;
        EXPECT_EQ(cfs_pack("x", 1, pad, &len), nullptr);
        EXPECT_EQ(errno, EINVAL);
    }
}

TEST(CfsPack, DecryptsToOneGzipMemberAndThePad) {
    const std::string text = sample_text(40000);
    for (unsigned pad : {1u, 8u, 255u}) {
        SCOPED_TRACE(pad);
        bytes plain = cfb64(packed_cfs(text, pad), false);
        ASSERT_GT(plain.size(), pad);
        EXPECT_EQ(plain.back(), pad);
        for (size_t i = plain.size() - pad; i < plain.size(); ++i) {
            EXPECT_EQ(plain[i], pad);
        }
        // The member ends exactly where the pad begins and inflates to the text.
        z_stream strm{};
        ASSERT_EQ(inflateInit2(&strm, 31), Z_OK);
        std::string out(text.size() + 1, '\0');
        strm.next_in = plain.data();
        strm.avail_in = static_cast<uInt>(plain.size() - pad);
        strm.next_out = reinterpret_cast<Bytef *>(out.data());
        strm.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(inflate(&strm, Z_FINISH), Z_STREAM_END);
        EXPECT_EQ(strm.avail_in, 0u);
        out.resize(strm.total_out);
        inflateEnd(&strm);
        EXPECT_EQ(out, text);
    }
}

} // namespace
