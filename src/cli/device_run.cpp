#include "cli/device_run.h"

#include "cli/exit_hooks.h"
#include "cli/image_stage.h"
#include "cli/run_record.h"
#include "cli/run_safety.h"
#include "listing/listing.h"
#include "sg/identify.h"
#include "sg/sg_io.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace {

// Standard INQUIRY data, by byte:
//   8-15   vendor identification
//   16-31  product identification
//   32-35  product revision level
constexpr size_t k_inq_vendor = 8;
constexpr size_t k_inq_vendor_len = 8;
constexpr size_t k_inq_product = 16;
constexpr size_t k_inq_product_len = 16;
constexpr size_t k_inq_revision = 32;
constexpr size_t k_inq_revision_len = 4;

// Unit serial number page (80h), by byte:
//   3    page length L
//   4..  product serial number, L bytes
constexpr uint8_t k_vpd_unit_serial = 0x80;
constexpr size_t k_vpd_page_len = 3;
constexpr size_t k_vpd_serial = 4;
constexpr size_t k_serial_len = 8;

// Releases what scandir returned: every entry and the array.
struct DirentList {
    struct dirent **entries = nullptr;
    int count = 0;
    DirentList() = default;
    DirentList(const DirentList &) = delete;
    DirentList &operator=(const DirentList &) = delete;
    ~DirentList() {
        for (int i = 0; i < count; ++i) {
            std::free(entries[i]);
        }
        std::free(entries);
    }
};

// Sends both INQUIRY commands and the full-identity reads, filling id.
// Returns 0, or -1 after writing why the device cannot be identified.
int identify_device(int fd, const char *path, DeviceIdentity *id) {
    uint8_t inq[k_inquiry_buf_len] = {};
    std::memset(id, 0, sizeof *id);
    if (send_inq(fd, inq, k_inquiry_buf_len, 0) < 0) {
        printf("Sending INQUIRY command to %s Failed\n", path);
        return -1;
    }
    fill_standard_identity(id, inq);
    std::memset(inq, 0, sizeof inq);
    if (send_inq(fd, inq, k_inquiry_buf_len, k_vpd_unit_serial) < 0) {
        printf("Sending INQUIRY VPD 0x80 command to %s Failed\n", path);
        return -1;
    }
    fill_serial(id, inq, sizeof inq);
    // A drive that is not ATA, or whose full strings cannot be read, keeps the INQUIRY
    // product and revision in their place.
    id->identity_complete = true;
    // The IDENTIFY serial number comes from the answer that gave the model number.
    if (get_full_mn(fd, id->full_model, sizeof id->full_model, id->is_ata, id->identify) < 0) {
        std::memcpy(id->full_model, id->product, sizeof id->product);
        id->identity_complete = false;
    } else {
        extract_ata_serial(id->identify, id->ata_serial);
    }
    id->full_fw_read = get_full_fw(fd, id->full_fw, sizeof id->full_fw, id->is_ata) >= 0;
    if (!id->full_fw_read) {
        std::memcpy(id->full_fw, id->revision, sizeof id->revision);
        id->identity_complete = false;
    }
    return 0;
}

} // namespace

int is_sg_entry(const struct dirent *entry) {
    return std::strncmp(entry->d_name, "sg", 2) == 0 ? 1 : 0;
}

int scan_device_dir(const char *dir, std::vector<OwnedText> *paths) {
    DirentList list;
    int count = scandir(dir, &list.entries, is_sg_entry, alphasort);
    if (count < 0) {
        perror("scandir");
        return -1;
    }
    list.count = count;
    try {
        paths->reserve(paths->size() + static_cast<size_t>(list.count));
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        perror("realloc");
        return -1;
    }
    for (int i = 0; i < list.count; ++i) {
        const char *name = list.entries[i]->d_name;
        size_t size = std::strlen(dir) + 1 + std::strlen(name) + 1;
        OwnedText path(static_cast<char *>(std::malloc(size)));
        if (!path) {
            perror("malloc");
            return -1;
        }
        snprintf(path.get(), size, "%s/%s", dir, name);
        paths->push_back(std::move(path)); // room reserved above: does not throw
    }
    return 0;
}

int build_device_list(std::vector<OwnedText> *paths) {
    if (!paths->empty()) {
        return 0;
    }
    return scan_device_dir("/dev", paths);
}

void fill_standard_identity(DeviceIdentity *id, const uint8_t *inquiry) {
    std::memcpy(id->vendor, inquiry + k_inq_vendor, k_inq_vendor_len);
    id->vendor[k_inq_vendor_len] = '\0';
    std::memcpy(id->product, inquiry + k_inq_product, k_inq_product_len);
    id->product[k_inq_product_len] = '\0';
    id->product[std::strcspn(id->product, " \t")] = '\0';
    std::memcpy(id->revision, inquiry + k_inq_revision, k_inq_revision_len);
    id->revision[k_inq_revision_len] = '\0';
    id->is_ata = std::memcmp(inquiry + k_inq_vendor, "ATA", 3) == 0;
}

void fill_serial(DeviceIdentity *id, const uint8_t *page, size_t len) {
    std::memset(id->serial, 0, sizeof id->serial);
    std::memset(id->full_serial, 0, sizeof id->full_serial);
    if (len <= k_vpd_serial) {
        return;
    }
    size_t field_len = std::min<size_t>(page[k_vpd_page_len], len - k_vpd_serial);
    std::string_view field(reinterpret_cast<const char *>(page + k_vpd_serial),
                           std::min(field_len, sizeof id->full_serial - 1));
    field = field.substr(0, field.find('\0'));
    size_t first = field.find_first_not_of(' ');
    if (first != std::string_view::npos) {
        field = field.substr(first, field.find_last_not_of(' ') + 1 - first);
        field.copy(id->full_serial, field.size());
    }
    for (size_t i = 0; i < field_len; ++i) {
        size_t start = k_vpd_serial + i;
        if (page[start] != ' ') {
            // Eight bytes whatever the page length says, but never past the buffer: bytes
            // after the page read as the zeros of the cleared buffer.
            std::memcpy(id->serial, page + start, std::min(k_serial_len, len - start));
            return;
        }
    }
}

std::string listing_line(const DeviceIdentity &id, const char *path, uint8_t list_mode,
                         int32_t tmc_code) {
    bool full = (list_mode & k_list_extended) != 0 && tmc_code == k_tmc_full_fw;
    ListingLine columns;
    columns.vendor = id.vendor;
    columns.device = path;
    columns.model = id.full_model;
    columns.serial.assign(id.serial, strnlen(id.serial, sizeof id.serial));
    columns.firmware = full ? id.full_fw : id.revision;
    return format_listing_line(columns);
}

namespace {

// Ends the device's record: a device that stopped the run is named with why; every line is
// written before the run goes on or ends. Returns 0, or -1 when the line could not be written.
int record_stop(RunState *state, const char *why) {
    state->device.decision = DECISION_NOT_IDENTIFIED;
    state->device.reason = why;
    return write_device_record(&state->record, state->device);
}

// The device loop of run_devices. Returns the exit status.
int process_devices(RunOptions *opts, RunState *state) {
    size_t count = opts->device_paths.size();
    for (size_t i = 0; i < count; ++i) {
        OwnedText &path = opts->device_paths[i];
        state->device = DeviceRecord{};
        state->device.device = path.get();
        // What earlier devices wrote comes out before anything the transport reports on
        // standard error; a device is not touched once the output is lost.
        if (output_lost(count - i)) {
            return k_exit_usage;
        }
        current_device_fd = get_sg_fd(path.get());
        bool held = current_device_fd >= 0 && claim_device(current_device_fd, path.get()) < 0;
        if (held) {
            close_current_device();
        }
        if (current_device_fd < 0) {
            printf("Error: Could not open handle to %s\n", path.get());
            record_stop(state, held ? "the device is in use by another process"
                                    : "the device could not be opened");
            return k_exit_invalid_device;
        }
        DeviceIdentity id;
        if (identify_device(current_device_fd, path.get(), &id) < 0) {
            record_stop(state, "the device did not answer INQUIRY");
            return k_exit_invalid_device;
        }
        record_identity(&state->device, id);
        if (opts->list_mode != 0) {
            fputs(listing_line(id, path.get(), opts->list_mode, opts->tmc_code).c_str(), stdout);
        }
        StageOutcome outcome = run_image_stage(*opts, id, path.get(), current_device_fd, state);
        // The line is written before the run goes on or ends here: a stop signal held during
        // the image acts only after the image's outcome, which the line tells truly.
        if (write_device_record(&state->record, state->device) < 0) {
            return k_exit_usage;
        }
        if (outcome.end_run) {
            return outcome.status;
        }
        if (int signo = take_stop_signal(); signo != 0) {
            finish_run_record(&state->record, k_exit_signal_base + signo);
            stop_for_signal(signo, path.get(), count - i - 1);
        }
        close_current_device();
        path.reset();
    }
    return output_lost(0) ? k_exit_usage : state->run_status;
}

} // namespace

int run_devices(RunOptions *opts) {
    // A closed standard output must not cut an image: its failed writes are noted, and the
    // run stops between two devices instead.
    signal(SIGPIPE, SIG_IGN);
    RunState state;
    if (open_run_record(*opts, &state.record) < 0) {
        return k_exit_usage;
    }
    return finish_run_record(&state.record, process_devices(opts, &state));
}
