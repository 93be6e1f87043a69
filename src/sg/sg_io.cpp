#include "sg/sg_io.h"

#include "base/error_output.h"
#include "sg/diag.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

int debug_level = 0;

void print_command_diagnostics(const sg_io_hdr_t *hdr, const SgRequest *req, const uint8_t *sense) {
    if (req->sense_len != 0) {
        if (!sense_has_key_layout(sense[0])) {
            printf("Invalid RESPONSE CODE 0x%x in SENSE data 0x%x 0x%x 0x%x 0x%x 0x%x\n", sense[0],
                   sense[1], sense[2], sense[3], sense[4], sense[5]);
        }
        printf("format x%x, sense x%x, acq x%x, ascq x%x\n", req->sense_format, req->sense_key,
               req->asc, req->ascq);
    } else {
        puts(" No Sense data returned");
    }
    if ((hdr->info & SG_INFO_CHECK) != 0 || hdr->masked_status != 0 || hdr->msg_status != 0 ||
        hdr->host_status != 0 || hdr->driver_status != 0) {
        printf(" info 0x%x\n masked_status 0x%x\n msg_status 0x%x\n host_status 0x%x\n"
               " driver_status 0x%x\n",
               hdr->info, hdr->masked_status, hdr->msg_status, hdr->host_status,
               hdr->driver_status);
        print_scsi_status(hdr->masked_status);
        if ((hdr->driver_status & DRIVER_SENSE) != 0) {
            print_sense_key(req->sense_key, req->asc, req->ascq);
        }
    }
}

void raise_debug_level() {
    ++debug_level;
}

int map_direction(int8_t direction) {
    switch (direction) {
    case 0:
    case -1:
        return SG_DXFER_NONE;
    case 1:
    case -3:
        return SG_DXFER_FROM_DEV;
    case 2:
    case -2:
        return SG_DXFER_TO_DEV;
    case -4:
        return SG_DXFER_TO_FROM_DEV;
    default:
        return 0;
    }
}

void fill_io_hdr(sg_io_hdr_t *hdr, const SgRequest *req, int dxfer_direction, uint8_t *sense) {
    memset(hdr, 0, sizeof *hdr);
    hdr->interface_id = 'S';
    hdr->dxfer_direction = dxfer_direction;
    hdr->cmd_len = req->cdb_len;
    hdr->mx_sb_len = SG_SENSE_LEN;
    hdr->dxfer_len = req->data_len;
    hdr->dxferp = req->data;
    hdr->cmdp = req->cdb;
    hdr->sbp = sense;
    hdr->timeout = req->timeout_ms != 0 ? req->timeout_ms : SG_DEFAULT_TIMEOUT_MS;
}

void apply_io_result(SgRequest *req, const sg_io_hdr_t *hdr, const uint8_t *sense) {
    req->resid = hdr->resid;
    req->status = hdr->masked_status;
    req->host_status = hdr->host_status;
    req->driver_status = hdr->driver_status;
    req->info = hdr->info;
    req->sense_len = std::min<uint8_t>(hdr->sb_len_wr, SG_SENSE_LEN);
    req->sense = SenseFields{};
    if (req->sense_len == 0) {
        return;
    }
    uint8_t opcode = (req->cdb != nullptr && req->cdb_len > 0) ? req->cdb[0] : 0;
    SenseFields f = decode_sense(sense, req->sense_len, opcode);
    req->sense = f;
    req->sense_format = f.response_code;
    if (f.has_key) {
        req->sense_key = f.sense_key;
        req->asc = f.asc;
        req->ascq = f.ascq;
    }
    if (f.has_ata) {
        req->ata_error = f.ata.error;
        req->ata_device = f.ata.device;
        req->ata_status = f.ata.status;
        req->ata_count = f.ata.count;
    }
}

int open_sg_node(const char *path) {
    int fd = open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        return -1;
    }
    int version = 0;
    errno = 0;
    if (ioctl(fd, SG_GET_VERSION_NUM, &version) < 0 || version < SG_MIN_VERSION) {
        // A driver too old to take sg_io_hdr requests answers the ioctl without an error;
        // name the reason rather than leave a stale or empty system error.
        if (errno == 0) {
            errno = EPROTONOSUPPORT;
        }
        int saved = errno;
        close(fd);
        errno = saved;
        return SG_NODE_NOT_SG;
    }
    return fd;
}

int get_sg_fd(const char *path) {
    int fd = open_sg_node(path);
    if (fd == -1) {
        perror("get_sg_fd");
        return -1;
    }
    if (fd == SG_NODE_NOT_SG) {
        int saved = errno;
        printf("%s: SG_GET_VERSION_NUM on %s failed \n", "get_sg_fd", path);
        errno = saved;
        print_errno("SG_GET_VERSION_NUM");
        return -1;
    }
    return fd;
}

int close_sg_fd(int fd) {
    return close(fd);
}

int send_io(SgRequest *req) {
    int dxfer_direction = map_direction(req->direction);
    if (dxfer_direction == 0) {
        printf("%s Didn't understand direction\n", "send_io");
        return -1;
    }
    // The sense area is cleared first so that bytes the driver did not write read as zero.
    uint8_t sense[SG_SENSE_LEN] = {};
    sg_io_hdr_t hdr;
    fill_io_hdr(&hdr, req, dxfer_direction, sense);
    int rc = ioctl(req->fd, SG_IO, &hdr);
    int saved = errno;
    req->io_errno = rc < 0 ? saved : 0;
    if (rc < 0 && req->quiet == 0) {
        errno = saved;
        print_errno("send_io");
    }
    apply_io_result(req, &hdr, sense);
    if (req->debug != 0) {
        if (debug_level >= 2) {
            print_io_hdr(&hdr);
            dump_sense_bytes(sense, req->sense_len);
        }
        print_command_diagnostics(&hdr, req, sense);
    }
    // perror may itself change errno (glibc's reopens standard error and fails on a
    // write-only one), so the ioctl's error is put back for the caller's own report.
    errno = saved;
    return rc < 0 ? -1 : 0;
}
