// Image loading and method choice: the one entry point of the download subsystem, and the
// open-announce-download-close step that the per-device run performs with it.
#include "download/download.h"
#include "download/download_plan.h"
#include "download/download_report.h"
#include "download/preflight.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// The SHA-256 of the image in lower-case hex, or empty when the digest could not be made.
std::string sha256_hex(const uint8_t *data, size_t size) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_Digest(data, size, md, &md_len, EVP_sha256(), nullptr) != 1) {
        return "";
    }
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < md_len; ++i) {
        snprintf(pair, sizeof pair, "%02x", md[i]);
        hex += pair;
    }
    return hex;
}

} // namespace

int download_fw_file(int fd, FILE *image, uint8_t segment_count, ForcedMethod method, bool is_ata,
                     DownloadReport *report, const StageRequest *stage) {
    // A caller that does not want the report gets one that is thrown away.
    DownloadReport discarded{};
    DownloadReport &done = report != nullptr ? *report : discarded;
    long long length = measure_stream(image);
    if (length < 0) {
        done.failure = std::string("the image cannot be measured: ") + strerror(errno);
        fflush(stdout);
        perror("malloc");
        return -1;
    }
    done.image_size = length;
    // Refused before anything is allocated or read: the senders take a 32-bit length.
    Refusal refusal = check_image_length(length);
    if (refusal.refused) {
        done.failure = refusal.reason;
        report_refusal("download_fw_file", refusal);
        return -1;
    }
    size_t size = static_cast<size_t>(length);
    // An empty image is not an allocation failure; the sender refuses its zero length.
    ImageBuffer buffer(static_cast<uint8_t *>(malloc(size != 0 ? size : 1)));
    if (!buffer) {
        done.failure = "no memory for the image";
        fflush(stdout);
        perror("malloc");
        return -1;
    }
    if (fread(buffer.get(), 1, size, image) != size) {
        done.failure = "the image file could not be read whole";
        puts("Error: couldn't read the fw file");
        return -1;
    }
    // Taken from the buffer that is sent, so that it names exactly the bytes the drive got.
    std::string digest = report != nullptr ? sha256_hex(buffer.get(), size) : "";

    MethodChoice choice = choose_method(method, is_ata);
    for (int i = 0; i < choice.line_count; ++i) {
        puts(choice.lines[i]);
    }
    uint32_t image_length = static_cast<uint32_t>(length);
    SenderArguments args = sender_arguments(choice.sender, segment_count);
    std::vector<std::string> refusals;
    if (stage != nullptr) {
        PlannedDownload plan =
            plan_download(choice.sender, segment_count, true, *stage->statements, image_length);
        args = {plan.code, plan.segment};
        refusals = check_download(*stage->statements, plan);
    }
    int result = -1;
    if (refusals.empty()) {
        result = choice.sender == SENDER_ATA_PASSTHROUGH
                     ? send_ata_passthrough(fd, args.code, args.segment, buffer.get(), image_length,
                                            &done)
                     : send_write_buffer(fd, args.code, static_cast<uint8_t>(args.segment),
                                         buffer.get(), image_length, &done);
    } else {
        done.failure = refusals.front();
        fflush(stdout);
        for (const std::string &line : refusals) {
            fprintf(stderr, "%s: %s; nothing sent\n", stage->device_path, line.c_str());
        }
    }
    // The senders start their report afresh; what the image and the choice were is added here.
    done.image_size = length;
    done.image_sha256 = digest;
    done.method = method_name(choice.sender, args.code);
    done.segment_size = uint32_t{args.segment} * k_block_size;
    return result;
}

long long measure_image_file(const char *path, std::string *why) {
    const char *reason = nullptr;
    ImageStream image(open_image(path, &reason));
    long long length = -1;
    if (!image) {
        *why = reason != nullptr ? reason : strerror(errno);
    } else if ((length = measure_stream(image.get())) < 0) {
        *why = std::string("the image cannot be measured: ") + strerror(errno);
    }
    return length;
}

int download_image_file(int fd, const char *image_path, const char *device_path,
                        uint8_t segment_count, ForcedMethod method, bool is_ata,
                        DownloadReport *report, const StageRequest *stage) {
    const char *reason = nullptr;
    ImageStream image(open_image(image_path, &reason));
    if (!image) {
        int saved = errno;
        if (report != nullptr) {
            report->failure = std::string("Couldn't open file ") + image_path + ": " +
                              (reason != nullptr ? reason : strerror(saved));
        }
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
    return download_fw_file(fd, image.get(), segment_count, method, is_ata, report, stage) < 0 ? -1
                                                                                               : 0;
}
