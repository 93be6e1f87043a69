// Image loading and method choice: the method table, the sender arguments, and every path
// of download_fw_file and download_image_file that ends before a command is sent.
#include "download/download.h"
#include "finished_command.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr long long MiB = 1024 * 1024;

TEST(MethodChoice, TableOfForcedMethodAndDrive) {
    const char *warn_wb = "WARNING: Option forces WRITE BUFFER CMD method on a ATA drive";
    const char *warn_ata = "WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive";
    const struct {
        ForcedMethod method;
        bool is_ata;
        DownloadSender sender;
        std::vector<std::string> lines;
    } table[] = {
        {METHOD_WRITE_BUFFER, true, SENDER_WRITE_BUFFER, {warn_wb, "Force write buffer command"}},
        {METHOD_WRITE_BUFFER, false, SENDER_WRITE_BUFFER, {"Force write buffer command"}},
        {METHOD_ATA_PASSTHROUGH,
         false,
         SENDER_ATA_PASSTHROUGH,
         {warn_ata, "Force ata passthrough"}},
        {METHOD_ATA_PASSTHROUGH, true, SENDER_ATA_PASSTHROUGH, {"Force ata passthrough"}},
        {METHOD_AUTO, true, SENDER_ATA_PASSTHROUGH, {}},
        {METHOD_AUTO, false, SENDER_WRITE_BUFFER, {}},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(std::to_string(row.method) + (row.is_ata ? " ATA" : " not ATA"));
        MethodChoice c = choose_method(row.method, row.is_ata);
        EXPECT_EQ(c.sender, row.sender);
        ASSERT_EQ(c.line_count, static_cast<int>(row.lines.size()));
        for (int i = 0; i < c.line_count; ++i) {
            EXPECT_EQ(c.lines[i], row.lines[static_cast<size_t>(i)]);
        }
    }
}

TEST(MethodChoice, SenderArgumentsBySegmentCount) {
    const struct {
        DownloadSender sender;
        uint8_t segment_count;
        uint8_t code;
        uint16_t segment;
    } table[] = {
        {SENDER_WRITE_BUFFER, 0, 0x05, 0},        {SENDER_WRITE_BUFFER, 64, 0x07, 64},
        {SENDER_WRITE_BUFFER, 255, 0x07, 255},    {SENDER_WRITE_BUFFER, 1, 0x07, 1},
        {SENDER_ATA_PASSTHROUGH, 0, 0x07, 0},     {SENDER_ATA_PASSTHROUGH, 64, 0x03, 64},
        {SENDER_ATA_PASSTHROUGH, 255, 0x03, 255},
    };
    for (const auto &row : table) {
        DownloadPlan p =
            plan_for_run(row.sender, DownloadGoal::update, row.segment_count, {}, 65536);
        EXPECT_EQ(p.method.code, row.code) << row.sender << " n=" << int(row.segment_count);
        EXPECT_EQ(p.segment, row.segment) << row.sender << " n=" << int(row.segment_count);
    }
}

TEST(ImageLength, MustFitTheSigned32BitLength) {
    EXPECT_FALSE(check_image_length(0).refused);
    EXPECT_FALSE(check_image_length(2147483647LL).refused);
    EXPECT_TRUE(check_image_length(2147483648LL).refused);
    EXPECT_TRUE(check_image_length(4294967296LL + 512).refused);
    EXPECT_STREQ(check_image_length(2147483648LL).reason,
                 "image of 2147483648 bytes does not fit the 32-bit image length; nothing sent");
}

// A temporary image file of the given length (sparse: it reads as zeros).
struct TempImage {
    FILE *file = tmpfile();
    explicit TempImage(long long length) {
        EXPECT_NE(file, nullptr);
        EXPECT_EQ(ftruncate(fileno(file), length), 0);
    }
    ~TempImage() { fclose(file); }
    TempImage(const TempImage &) = delete;
    TempImage &operator=(const TempImage &) = delete;
};

struct LoadCase {
    const char *what;
    long long length;
    uint8_t segment_count;
    ForcedMethod method;
    bool is_ata;
    std::string out;
    std::string err;
};

// Every one of these ends before send_io: the descriptor -1 is never used.
TEST(DownloadFwFile, PathsThatEndBeforeAnythingIsSent) {
    const std::string invalid = "send_write_buffer Invalid Command Parameters\n";
    const std::string zero_ata = "ERROR: Data Length to ATA PASSTHROUGH function cannot be 0\n";
    const LoadCase table[] = {
        {"empty, automatic, SCSI", 0, 0, METHOD_AUTO, false, invalid, ""},
        {"empty, automatic, ATA", 0, 0, METHOD_AUTO, true, zero_ata, ""},
        {"empty, -w on ATA", 0, 64, METHOD_WRITE_BUFFER, true,
         "WARNING: Option forces WRITE BUFFER CMD method on a ATA drive\n"
         "Force write buffer command\n" +
             invalid,
         ""},
        {"empty, -p on SCSI", 0, 0, METHOD_ATA_PASSTHROUGH, false,
         "WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive\n"
         "Force ata passthrough\n" +
             zero_ata,
         ""},
        {"9 MiB unsegmented, SCSI", 9 * MiB, 0, METHOD_AUTO, false, "",
         "send_write_buffer: image of 9437184 bytes is longer than the 8388608 bytes that "
         "mode 0x5 sends in one command; give a segment count to send it with offsets; "
         "nothing sent\n"},
        {"8 MiB + 1 unsegmented, -w", 8 * MiB + 1, 0, METHOD_WRITE_BUFFER, false,
         "Force write buffer command\n",
         "send_write_buffer: image of 8388609 bytes is longer than the 8388608 bytes that "
         "mode 0x5 sends in one command; give a segment count to send it with offsets; "
         "nothing sent\n"},
        {"17 MiB in segments, SCSI", 17 * MiB, 64, METHOD_AUTO, false, "",
         "send_write_buffer: image of 17825792 bytes is longer than the 16777216 bytes that "
         "BUFFER OFFSET can address; nothing sent\n"},
        {"9 MiB unsegmented, ATA", 9 * MiB, 0, METHOD_AUTO, true, "",
         "send_ata_passthrough: image of 9437184 bytes is longer than the 8388608 bytes that "
         "subcommand 0x7 sends in one command; give a segment count to send it with offsets; "
         "nothing sent\n"},
        {"33 MiB in segments, ATA", 33 * MiB, 255, METHOD_AUTO, true, "",
         "send_ata_passthrough: image of 34603008 bytes is longer than the 33554432 bytes "
         "that a 16-bit block offset can address; nothing sent\n"},
        {"1,000 bytes, -p on SCSI", 1000, 64, METHOD_ATA_PASSTHROUGH, false,
         "WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive\n"
         "Force ata passthrough\n",
         "send_ata_passthrough: image of 1000 bytes is not a whole number of 512-byte blocks; "
         "nothing sent\n"},
        {"2 GiB, -w", 2048 * MiB, 64, METHOD_WRITE_BUFFER, false, "",
         "download_fw_file: image of 2147483648 bytes does not fit the 32-bit image length; "
         "nothing sent\n"},
    };
    for (const LoadCase &row : table) {
        SCOPED_TRACE(row.what);
        TempImage image(row.length);
        int rc = 0;
        Captured c = capture([&] {
            rc = download_fw_file(-1, image.file, row.segment_count, row.method, row.is_ata);
        });
        EXPECT_EQ(rc, -1);
        EXPECT_EQ(c.out, row.out);
        EXPECT_EQ(c.err, row.err);
    }
}

TEST(DownloadFwFile, UnmeasurableStreamIsReportedAsAllocationFailure) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    FILE *reader = fdopen(fds[0], "rb");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(write(fds[1], "abc", 3), 3);
    close(fds[1]);
    int rc = 0;
    Captured c = capture([&] { rc = download_fw_file(-1, reader, 0, METHOD_AUTO, false); });
    fclose(reader);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.out, "");
    EXPECT_EQ(c.err, "malloc: Illegal seek\n");
}

// A stream that claims more bytes than it delivers: its end lies at 4096, but a read ends
// after 100 bytes.
struct ShortStream {
    off64_t position = 0;
};

ssize_t short_read(void *cookie, char *buf, size_t size) {
    auto *s = static_cast<ShortStream *>(cookie);
    size_t left = s->position < 100 ? static_cast<size_t>(100 - s->position) : 0;
    size_t n = size < left ? size : left;
    memset(buf, 0x5A, n);
    s->position += static_cast<off64_t>(n);
    return static_cast<ssize_t>(n);
}

int short_seek(void *cookie, off64_t *offset, int whence) {
    auto *s = static_cast<ShortStream *>(cookie);
    if (whence == SEEK_END) {
        s->position = 4096 + *offset;
    } else if (whence == SEEK_SET) {
        s->position = *offset;
    } else {
        s->position += *offset;
    }
    *offset = s->position;
    return 0;
}

TEST(DownloadFwFile, ShortReadPrintsTheReadErrorAndNoMethodLines) {
    ShortStream state;
    cookie_io_functions_t io{};
    io.read = short_read;
    io.seek = short_seek;
    FILE *stream = fopencookie(&state, "rb", io);
    ASSERT_NE(stream, nullptr);
    int rc = 0;
    Captured c = capture([&] { rc = download_fw_file(-1, stream, 0, METHOD_WRITE_BUFFER, true); });
    fclose(stream);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.out, "Error: couldn't read the fw file\n");
    EXPECT_EQ(c.err, "");
}

TEST(DownloadImageFile, MissingFileIsReportedAndNothingRuns) {
    int rc = 0;
    Captured c = capture([&] {
        rc = download_image_file(-1, "/nonexistent/dir/fw.bin", "test-node", 0, METHOD_AUTO, false);
    });
    EXPECT_EQ(rc, DOWNLOAD_IMAGE_NOT_OPENED);
    EXPECT_EQ(c.out, "Couldn't open file /nonexistent/dir/fw.bin\n");
    EXPECT_EQ(c.err, "fopen: No such file or directory\n");
}

TEST(DownloadImageFile, AnnouncesTheDownloadThenRunsIt) {
    char path[] = "/tmp/dl_empty_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    int rc = 0;
    Captured c =
        capture([&] { rc = download_image_file(-1, path, "test-node", 0, METHOD_AUTO, true); });
    unlink(path);
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(c.out, std::string("Downloading file ") + path +
                         " to test-node\nERROR: Data Length to ATA PASSTHROUGH function cannot "
                         "be 0\n");
    EXPECT_EQ(c.err, "");
}

} // namespace
