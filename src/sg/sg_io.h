// The SG_IO command transport: the only code that opens, drives and closes sg nodes.
#pragma once

#include "sg/sense.h"

#include <cstdint>

struct sg_io_hdr;

// Data direction codes accepted in SgRequest::direction. The small codes and the sg
// driver's own negative values are both accepted; anything else is refused.
inline constexpr int8_t DIR_NONE = 0;
inline constexpr int8_t DIR_FROM_DEV = 1;
inline constexpr int8_t DIR_TO_DEV = 2;

// Time-out of every command that does not ask for its own (SgRequest::timeout_ms 0).
inline constexpr uint32_t SG_DEFAULT_TIMEOUT_MS = 5000;
// Lowest sg driver version that takes sg_io_hdr requests.
inline constexpr int SG_MIN_VERSION = 30000;

// The status words of a finished command that the system reads by value: the host status of
// a command sent to a device that is no longer connected, that timed out or whose target is
// gone, the driver status of a time-out (low four bits) and of a command that brought sense
// data.
inline constexpr uint16_t DID_NO_CONNECT = 0x01;
inline constexpr uint16_t DID_TIME_OUT = 0x03;
inline constexpr uint16_t DID_BAD_TARGET = 0x04;
inline constexpr uint16_t DRIVER_TIMEOUT = 0x06;
inline constexpr uint16_t DRIVER_SENSE = 0x08;

// One SCSI command for send_io. The caller owns the record, the CDB and the data buffer,
// and clears the whole record before filling it.
struct SgRequest {
    // Set by the caller.
    int32_t fd;
    uint8_t *cdb;
    uint8_t cdb_len;
    int8_t direction;
    void *data;
    uint32_t data_len;
    uint8_t debug;
    uint32_t timeout_ms; // 0: SG_DEFAULT_TIMEOUT_MS
    uint8_t quiet;       // a failed ioctl is not reported on standard error

    // Written by send_io from the sense data. A field that an outcome does not write keeps
    // what the record held before the call.
    uint8_t sense_format; // sense byte 0, whole, when the driver wrote sense bytes
    uint8_t sense_key;    // when the response code is 70h-73h (low 7 bits)
    uint8_t asc;
    uint8_t ascq;
    int32_t resid;     // after every SG_IO ioctl, failed or not
    uint8_t ata_error; // when ATA registers came back
    uint8_t ata_device;
    uint8_t ata_status;
    uint8_t ata_count;

    // Written after every SG_IO ioctl, failed or not, so that a failure the driver reports
    // only in the status words (a time-out among them) reaches the caller.
    uint8_t status;         // masked_status of the sg_io_hdr
    uint16_t host_status;   // DID_* codes; 0 when the host adapter saw no error
    uint16_t driver_status; // DRIVER_* codes; DRIVER_SENSE (08h) alone means sense came back
    uint32_t info;          // SG_INFO_* bits
    uint8_t sense_len;      // sense bytes the driver wrote (sb_len_wr, at most 32)
    SenseFields sense;      // this command's sense data, decoded whole (zero when none came)
    int io_errno;           // errno of a failed SG_IO ioctl; 0 when the ioctl succeeded
};

// Process-wide diagnostics level, 0 at start. Above 0 the download senders set
// SgRequest::debug; at 2 or more send_io also dumps the header and the sense bytes.
extern int debug_level;

// Adds 1 to debug_level.
void raise_debug_level();

// Opens an sg node read-write, non-blocking, and checks the driver version.
// Returns the descriptor (0 or more), or -1 after printing why.
int get_sg_fd(const char *path);

// open_sg_node's result when the node opened but is not an sg node of a usable driver.
inline constexpr int SG_NODE_NOT_SG = -2;

// Opens an sg node as get_sg_fd does, and prints nothing: a caller looking for a drive
// among the nodes tries nodes that may be gone or that are no sg nodes at all.
// Returns the descriptor (0 or more), -1 when the open failed, or SG_NODE_NOT_SG (the node
// is closed again), with errno set.
int open_sg_node(const char *path);

// Closes a descriptor from get_sg_fd. Returns what close returned (0 or -1); prints nothing.
int close_sg_fd(int fd);

// Runs one command through the SG_IO ioctl and writes the result fields of req; a failed
// ioctl is reported with perror("send_io") unless req->quiet is set.
// Returns 0 when the driver ran the command, whatever the device answered; -1 when the
// direction is not understood (nothing sent, nothing written) or the ioctl failed.
int send_io(SgRequest *req);

// The pure halves of send_io.

// Maps SgRequest::direction to the driver's dxfer_direction; returns 0 for a code that is
// not understood (no driver value is 0).
int map_direction(int8_t direction);

// Fills hdr (cleared first) for req, with sense pointing at a SG_SENSE_LEN-byte area.
void fill_io_hdr(struct sg_io_hdr *hdr, const SgRequest *req, int dxfer_direction, uint8_t *sense);

// Writes what the driver returned in hdr and the sense area back into req.
void apply_io_result(SgRequest *req, const struct sg_io_hdr *hdr, const uint8_t *sense);

// What send_io prints about a finished command while the request's debug flag is set: the
// sense summary with the fields as the request now holds them and, for an abnormal end, the
// status words and their names.
void print_command_diagnostics(const struct sg_io_hdr *hdr, const SgRequest *req,
                               const uint8_t *sense);
