// Records of the simulated drive bay: the drives, their faults, one command and its answer.
// The behaviour lives in free functions (drive_exec.h, image.h, bay_file.h).
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

enum class DriveType { scsi, sata };

// How a SCSI drive lays out its INQUIRY answers: like the kernel's scsi_debug target, or
// like QEMU's scsi-hd behind virtio-scsi.
enum class ScsiFlavor { scsi_debug, scsi_hd };

// What a SATA drive states and does besides its identity: a drive that takes microcode
// (DOWNLOAD MICROCODE, segmented and staged, and the IDENTIFY DEVICE data log), or QEMU's
// AHCI disk as captured, which states no DOWNLOAD MICROCODE, aborts it and keeps no logs.
enum class AtaFlavor { generic, ide_hd };

// What a SATA drive does with the firmware requests (IDENTIFY with LBA DB/97/20):
// ignore them and answer IDENTIFY again (most drives), answer the dotted request
// (FEATURES 0Bh) or the plain request (FEATURES 00h).
enum class FwreqAnswer { ignore, dotted, plain };

// What a drive does with a firmware download: take only valid images for its model,
// take any bytes and move to a given revision, or take any bytes and keep its revision.
enum class FirmwareMode { validate, accept_any, keep_revision };

// What a drive does with staged microcode (WRITE BUFFER 0Dh, 0Eh and 0Fh; DOWNLOAD MICROCODE
// 0Eh and 0Fh) where it states nothing about it: keeps it until an activation or a power
// cycle, refuses the commands, or answers them with success and does nothing, as scsi_debug
// does.
enum class Staging { supported, unsupported, ignored };

// The DOWNLOAD MICROCODE capabilities a drive that takes microcode states by default: the
// quadword valid (bit 63) and deferred microcode (0Eh) supported (bit 34); no minimum or
// maximum transfer size.
inline constexpr uint64_t k_default_dm_capabilities = 0x8000000400000000ull;

// The capacity of a drive whose bay record gives none: 16 MiB, as the disks of QEMU's
// images in the real-stack tier.
inline constexpr uint64_t k_default_capacity_blocks = 32768;

// The sense layout of an ATA command that the drive aborted, as the SAT layer reports
// it: Linux 6.1 (fixed format, registers at bytes 8-11), the SAT layout of later kernels
// (fixed format with VALID set, registers at bytes 3-6), or descriptor format (D_SENSE).
enum class AbortSense { linux_6_1, sat, descriptor };

// One injected fault: it fires at the index-th command of kind `on` (1-based; 0 means
// every such command). Kinds of command: open, version, any, inquiry, vpd, identify,
// fwreq, ata, check_power, write_buffer, download, read_log, read_buffer, tur, other.
struct Fault {
    std::string on;
    uint32_t index = 0;
    std::string
        kind;    // errno, check, abort, timeout, busy, no_data, no_passthrough, vanish, version
    int err = 0; // errno: the error number
    uint8_t key = 0, asc = 0, ascq = 0; // check
    int value = 0;                      // version: the number SG_GET_VERSION_NUM answers
};

// A download in progress, kept without the image itself (the interposer lives in the
// downloading process, so a copy would double its memory): how many bytes arrived in
// order from offset 0, the first 64 of them (the image header) and the CRC-32 of the
// payload bytes among them.
struct PendingDownload {
    bool deferred = false; // started by a staging command
    uint64_t received = 0;
    std::vector<uint8_t> header;
    uint32_t payload_crc = 0;
};

// What a drive keeps while a process runs; never written to the bay file.
struct DriveRuntime {
    std::map<std::string, uint32_t> counts; // commands seen, per kind
    bool vanished = false;
    PendingDownload download;
    size_t hostile_pos = 0; // the next byte of the hostile script
    // Bumped each time the drive drops off the bus or moves to another node: a descriptor
    // opened before leads nowhere any more (drive_reset.h).
    uint32_t generation = 0;
    bool reset_started = false; // a reset began during this command: write the bay back
    // scsi-hd: the sense of the last command that ended in CHECK CONDITION, until the next
    // command; REQUEST SENSE reports it, as QEMU keeps it for the device.
    std::vector<uint8_t> last_sense;
};

// One answer a real drive gave to `sgsim capture`: the data-in bytes it returned, or the
// sense with which it refused the command.
struct CapturedAnswer {
    bool refused = false;
    std::vector<uint8_t> bytes;
};

// The answers of a captured drive by name ("inquiry", "vpd_83", "identify", "fwreq_dotted",
// "log_30_03", "read_buffer", ...; captured.h), and the revision they carry: while the
// drive keeps that revision they are served exactly, after a rehearsed download with the
// new revision put in.
struct Captured {
    std::string revision;
    std::map<std::string, CapturedAnswer> answers;
};

// The host's storage stack around a drive (host_stack.h): its block device, partitions and
// what uses them. A drive without a block device has none of it.
struct HostStack {
    std::string block;                                       // "sdc"; empty: none
    std::vector<std::string> partitions;                     // "sdc1" ...
    std::map<std::string, std::string> mounts;               // disk or partition -> mount point
    std::map<std::string, std::vector<std::string>> holders; // disk or partition -> "md0" ...
    std::map<std::string, std::string> dm_names;             // "dm-0" -> its mapped name
    std::vector<std::string> swap;                           // disks or partitions used as swap
    bool claimed = false; // an exclusive open of the disk gets EBUSY with nothing else using it
};

struct Drive {
    std::string node; // "/dev/sg0"
    DriveType type = DriveType::scsi;
    // SCSI identity (INQUIRY fields); revision is shared with SATA drives.
    std::string vendor, product;
    ScsiFlavor flavor = ScsiFlavor::scsi_debug;
    // SATA identity (IDENTIFY DEVICE strings).
    std::string model;
    std::string serial;
    std::string revision; // SCSI: 4 characters; SATA: the 8-character firmware revision
    FwreqAnswer fwreq = FwreqAnswer::ignore;
    bool dotted_flag = false;         // IDENTIFY byte 275 = 50h ('P')
    std::string fwreq_text = "{rev}"; // answer bytes 0-39; {rev} stands for the revision
    std::string fwreq_suffix;         // dotted answer bytes 464-467
    uint8_t pio_in_status = 0x50;     // Status at the end of IDENTIFY (QEMU ends with 58h)
    uint8_t abort_status = 0x41;      // Status with which the drive aborts a command
    bool ata_passthrough = true;      // false: the SAT layer refuses ATA PASS-THROUGH
    FirmwareMode fw_mode = FirmwareMode::validate;
    std::string fw_target; // accept_any: the revision it moves to
    Staging staging = Staging::supported;
    // SATA statements: the flavour's IDENTIFY words with these overrides (word -> value),
    // and bytes 16-23 of the IDENTIFY DEVICE data log's page 03h, the DOWNLOAD MICROCODE
    // capabilities (has_dm_log false: the drive keeps no such log).
    AtaFlavor ata_flavor = AtaFlavor::generic;
    std::map<int, uint16_t> identify_words;
    bool has_dm_log = true;
    uint64_t dm_capabilities = k_default_dm_capabilities;
    // SCSI statements: the Extended INQUIRY Data page (86h) and the READ BUFFER descriptor
    // of buffer 0; a drive without them refuses the page or READ BUFFER.
    bool has_extended_inquiry = true;
    uint8_t activate_microcode = 0; // ACTIVATE_MICROCODE, 0-3
    bool dms_valid = false;
    uint8_t dm_md = 0; // byte 19 of the page: DM_MD_4 (bit 7) ... DM_MD_F (bit 1)
    bool has_read_buffer = false;
    uint8_t offset_boundary = 0; // 2^n bytes; FFh: offset 0 only
    uint32_t buffer_capacity = 0;
    // The world wide name (NAA) the drive reports: SATA IDENTIFY words 108-111 (word 87 bit
    // 8), SCSI VPD 83h; has_wwn false: none given (scsi_debug then derives its own).
    bool has_wwn = false;
    uint64_t wwn = 0;
    uint64_t capacity_blocks = k_default_capacity_blocks; // 512-byte logical blocks
    Captured captured; // empty: the drive answers by its model alone
    // What the drive does once it takes new microcode (an image applied, an activation) or is
    // power-cycled (drive_reset.h): it answers NOT READY 04h/01h to every command for
    // settle_ms, then (SCSI) reports 29h/00h once; it is gone from the bus for vanish_ms; and
    // it answers at node moves_to from then on (empty: it keeps its node).
    uint32_t settle_ms = 0;
    uint32_t vanish_ms = 0;
    std::string moves_to;
    // Until when (milliseconds since the epoch) the drive is becoming ready, and absent; kept
    // in the bay file, so that a power cycle by `sgsim power-cycle` acts on the next process.
    int64_t not_ready_until = 0;
    int64_t absent_until = 0;
    std::vector<Fault> faults;
    // A hostile drive: every answer is rewritten by the next record of this script
    // (hostile.h); empty: the drive answers as its model does.
    bool hostile = false;
    std::vector<uint8_t> hostile_script;
    // 3Fh/16h pending after activated microcode (SCSI); kept in the bay file, since the
    // drive holds it until a command other than INQUIRY arrives.
    bool unit_attention = false;
    // 29h/00h pending after a power cycle (SCSI); reported before 3Fh/16h, kept likewise.
    bool power_on_attention = false;
    // Staged microcode, waiting for an activation or a power cycle: the revision it brings.
    bool staged = false;
    std::string staged_revision;
    // Every SG_IO command to the drive takes this many milliseconds of real time (0: none),
    // so that a test can act while a download is in the middle.
    uint32_t slow_ms = 0;
    HostStack host;
    DriveRuntime rt;
};

struct Bay {
    std::vector<Drive> drives;
    AbortSense abort_sense = AbortSense::linux_6_1;
    std::string trace_path; // empty: no trace
};

// sg_io_hdr data directions, as the driver numbers them.
inline constexpr int k_dxfer_none = -1;
inline constexpr int k_dxfer_to_dev = -2;
inline constexpr int k_dxfer_from_dev = -3;
inline constexpr int k_dxfer_to_from_dev = -4;

// One command as the sg driver hands it to the drive.
struct Command {
    std::vector<uint8_t> cdb;
    int direction = k_dxfer_none;
    std::span<const uint8_t> data_out; // what the host sends (empty unless to the device)
    uint32_t dxfer_len = 0;
    uint32_t timeout_ms = 0;
};

// What the stack hands back. io_errno != 0: the ioctl itself fails with that error and
// nothing else is written.
struct Answer {
    int io_errno = 0;
    uint8_t status = 0; // the full SCSI status byte (02h CHECK CONDITION, 08h BUSY)
    uint16_t host_status = 0;
    uint16_t driver_status = 0;
    std::vector<uint8_t> sense; // exactly the bytes the driver reports (8 + byte 7)
    bool writes_data = false;   // data-in: the buffer gets `data` (dxfer_len bytes)
    std::vector<uint8_t> data;
    int32_t resid = 0;
    uint32_t duration_ms = 0;
    bool state_changed = false; // revision or unit attention changed: write the bay back
    // Set by a hostile drive: words the sg driver would derive, given outright instead
    // (-1: derived as usual). hostile marks the answer for the trace.
    bool hostile = false;
    int masked_status = -1;
    int info = -1;
    int sb_len_wr = -1;
};

// The sg driver's derived fields of an answer: masked_status and info (SG_INFO_CHECK).
inline uint8_t masked_status_of(const Answer &a) {
    if (a.masked_status >= 0)
        return static_cast<uint8_t>(a.masked_status);
    return (a.status >> 1) & 0x7f;
}
inline uint32_t info_of(const Answer &a) {
    if (a.info >= 0)
        return static_cast<uint32_t>(a.info);
    return (masked_status_of(a) | a.host_status | a.driver_status) != 0 ? 1 : 0;
}
// sb_len_wr as the driver reports it to a client whose sense area holds mx_sb_len bytes:
// the bytes copied (the smaller of the two lengths), unless a hostile drive says otherwise.
inline uint8_t sb_len_wr_of(const Answer &a, size_t mx_sb_len) {
    if (a.sb_len_wr >= 0)
        return static_cast<uint8_t>(a.sb_len_wr);
    return static_cast<uint8_t>(a.sense.size() < mx_sb_len ? a.sense.size() : mx_sb_len);
}
