// Image loading and method choice: the one entry point of the download subsystem, and the
// open-announce-download-close step that the per-device run performs with it.
#include "download/download.h"
#include "download/download_plan.h"
#include "download/download_report.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct FreeDeleter {
    void operator()(uint8_t *p) const { free(p); }
};
using ImageBuffer = std::unique_ptr<uint8_t, FreeDeleter>;

struct FileCloser {
    void operator()(FILE *f) const { fclose(f); }
};
using ImageStream = std::unique_ptr<FILE, FileCloser>;

// Opens the image for reading in binary mode. The open does not wait (a FIFO without a
// writer would hold the run with the drive open), and only a regular file is taken: a
// directory, a FIFO or a device has no image length to send.
// Returns the stream, or null with errno set, or with *reason set for a file of another kind.
FILE *open_image(const char *path, const char **reason) {
    int fd = open(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        return nullptr;
    }
    FILE *image = nullptr;
    struct stat st;
    if (fstat(fd, &st) == 0) {
        if (S_ISREG(st.st_mode)) {
            image = fdopen(fd, "rb");
        } else {
            *reason = "Not a regular file";
        }
    }
    if (image == nullptr) {
        close(fd); // succeeds on an open descriptor, so errno stays the failure's
    }
    return image;
}

// Returns the length of the stream from its end position and rewinds it, or -1 when the
// stream cannot be measured (a pipe, say).
long long measure_stream(FILE *image) {
    if (fseeko(image, 0, SEEK_END) != 0) {
        return -1;
    }
    off_t end = ftello(image);
    if (end < 0 || fseeko(image, 0, SEEK_SET) != 0) {
        return -1;
    }
    return end;
}

} // namespace

int download_fw_file(int fd, FILE *image, uint8_t segment_count, ForcedMethod method, bool is_ata,
                     DownloadReport *report) {
    long long length = measure_stream(image);
    if (length < 0) {
        fflush(stdout);
        perror("malloc");
        return -1;
    }
    // Refused before anything is allocated or read: the senders take a 32-bit length.
    Refusal refusal = check_image_length(length);
    if (refusal.refused) {
        report_refusal("download_fw_file", refusal);
        return -1;
    }
    size_t size = static_cast<size_t>(length);
    // An empty image is not an allocation failure; the sender refuses its zero length.
    ImageBuffer buffer(static_cast<uint8_t *>(malloc(size != 0 ? size : 1)));
    if (!buffer) {
        fflush(stdout);
        perror("malloc");
        return -1;
    }
    if (fread(buffer.get(), 1, size, image) != size) {
        puts("Error: couldn't read the fw file");
        return -1;
    }

    MethodChoice choice = choose_method(method, is_ata);
    for (int i = 0; i < choice.line_count; ++i) {
        puts(choice.lines[i]);
    }
    SenderArguments args = sender_arguments(choice.sender, segment_count);
    uint32_t image_length = static_cast<uint32_t>(length);
    if (choice.sender == SENDER_ATA_PASSTHROUGH) {
        return send_ata_passthrough(fd, args.code, args.segment, buffer.get(), image_length,
                                    report);
    }
    return send_write_buffer(fd, args.code, static_cast<uint8_t>(args.segment), buffer.get(),
                             image_length, report);
}

int download_image_file(int fd, const char *image_path, const char *device_path,
                        uint8_t segment_count, ForcedMethod method, bool is_ata,
                        DownloadReport *report) {
    const char *reason = nullptr;
    ImageStream image(open_image(image_path, &reason));
    if (!image) {
        int saved = errno;
        printf("Couldn't open file %s\n", image_path);
        fflush(stdout);
        if (reason != nullptr) {
            fprintf(stderr, "fopen: %s\n", reason);
        } else {
            errno = saved;
            perror("fopen");
        }
        return DOWNLOAD_IMAGE_NOT_OPENED;
    }
    printf("Downloading file %s to %s\n", image_path, device_path);
    fflush(stdout);
    return download_fw_file(fd, image.get(), segment_count, method, is_ata, report) < 0 ? -1 : 0;
}
