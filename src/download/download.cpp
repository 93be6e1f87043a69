#include "download/download.h"

#include "base/error_output.h"
#include "download/image.h"
#include "download/sender.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int download_fw_file(int fd, FILE *image, uint8_t segment_count, ForcedMethod method, bool is_ata,
                     DownloadReport *report, const StageRequest *stage) {
    // A caller that does not want the report gets one that is thrown away.
    DownloadReport discarded{};
    DownloadReport &done = report != nullptr ? *report : discarded;
    long long length = measure_stream(image);
    if (length < 0) {
        done.failure = std::string("the image cannot be measured: ") + strerror(errno);
        print_errno("malloc");
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
    MallocPtr<uint8_t> buffer(static_cast<uint8_t *>(malloc(size != 0 ? size : 1)));
    if (!buffer) {
        done.failure = "no memory for the image";
        print_errno("malloc");
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
    DriveStatements none;
    DownloadPlan plan = plan_for_run(
        choice.sender, stage != nullptr ? DownloadGoal::stage : DownloadGoal::update, segment_count,
        stage != nullptr ? *stage->statements : none, static_cast<uint32_t>(length));
    std::vector<std::string> refusals =
        stage != nullptr ? check_download(*stage->statements, plan) : std::vector<std::string>{};
    int result = -1;
    if (refusals.empty()) {
        result = send_plan(fd, plan, buffer.get(), &done);
    } else {
        done.failure = refusals.front();
        for (const std::string &line : refusals) {
            print_error("%s: %s; nothing sent\n", stage->device_path, line.c_str());
        }
    }
    // The sender starts its report afresh; what the image and the plan were is added here.
    done.image_size = length;
    done.image_sha256 = digest;
    done.method = method_name(plan.method);
    done.segment_size = uint32_t{plan.segment} * k_block_size;
    return result;
}

int download_image_file(int fd, const char *image_path, const char *device_path,
                        uint8_t segment_count, ForcedMethod method, bool is_ata,
                        DownloadReport *report, const StageRequest *stage) {
    const char *reason = nullptr;
    FilePtr image = open_image(image_path, &reason);
    if (!image) {
        int saved = errno;
        if (report != nullptr) {
            report->failure = std::string("Couldn't open file ") + image_path + ": " +
                              (reason != nullptr ? reason : strerror(saved));
        }
        printf("Couldn't open file %s\n", image_path);
        if (reason != nullptr) {
            print_error("fopen: %s\n", reason);
        } else {
            errno = saved;
            print_errno("fopen");
        }
        return DOWNLOAD_IMAGE_NOT_OPENED;
    }
    printf("Downloading file %s to %s\n", image_path, device_path);
    // Seen at once by whoever follows the output, though the first segment may take long.
    fflush(stdout);
    return download_fw_file(fd, image.get(), segment_count, method, is_ata, report, stage) < 0 ? -1
                                                                                               : 0;
}

int activate_staged_microcode(int fd, DownloadSender sender, DownloadReport *report) {
    DownloadPlan plan = plan_download(method_for_goal(sender, DownloadGoal::activate, false), 0, 0);
    int result = send_plan(fd, plan, nullptr, report);
    report->method = method_name(plan.method);
    return result;
}
