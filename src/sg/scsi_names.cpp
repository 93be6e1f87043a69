#include "sg/scsi_names.h"

#include <cstddef>

namespace {

// Masked status (the SAM status shifted right by one), its name, and the wording of the
// --debug status line where that line names it.
struct StatusName {
    uint8_t masked;
    const char *name;
    const char *debug_name;
};
constexpr StatusName k_statuses[] = {
    {0x00, "GOOD", nullptr},
    {0x01, "CHECK CONDITION", "CHECK CONDITION"},
    {0x02, "CONDITION MET", nullptr},
    {0x04, "BUSY", "BUSY"},
    {0x08, "INTERMEDIATE", nullptr},
    {0x0A, "INTERMEDIATE-CONDITION MET", nullptr},
    {0x0C, "RESERVATION CONFLICT", nullptr},
    {0x11, "COMMAND TERMINATED", "COMMAND TERMINATED"},
    {0x14, "TASK SET FULL", "QUEUE FULL"},
    {0x18, "ACA ACTIVE", nullptr},
    {0x20, "TASK ABORTED", nullptr},
};

// Sense keys by value, and the wording of the --debug sense-key line (nullptr: printed as an
// unknown key).
struct KeyName {
    const char *name;
    const char *debug_name;
};
constexpr KeyName k_sense_keys[16] = {
    {"NO SENSE", "NO SENSE"},
    {"RECOVERED ERROR", "RECOVERED ERROR"},
    {"NOT READY", "NOT READY"},
    {"MEDIUM ERROR", "MEDIUM ERROR"},
    {"HARDWARE ERROR", "HARDWARE ERROR"},
    {"ILLEGAL REQUEST", "ILLEGAL REQUEST"},
    {"UNIT ATTENTION", "UNIT ATTENTION"},
    {"DATA PROTECT", "DATA PROTECT"},
    {"BLANK CHECK", "BLACK CHECK"},
    {"VENDOR SPECIFIC", "VENDOR SPECIFIC"},
    {"COPY ABORTED", "COPY ABORTED"},
    {"ABORTED COMMAND", "ABORTED COMMAND"},
    {"EQUAL", nullptr},
    {"VOLUME OVERFLOW", nullptr},
    {"MISCOMPARE", nullptr},
    {"RESERVED", nullptr},
};

// The ASC/ASCQ pairs a firmware download and the identification commands meet, and whether
// wording of the --debug ASC/ASCQ line for the two it names.
struct AscName {
    uint8_t asc;
    uint8_t ascq;
    const char *name;
    const char *debug_name;
};
constexpr AscName k_asc_names[] = {
    {0x00, 0x00, "no additional sense information", nullptr},
    {0x00, 0x1D, "ATA pass through information available", nullptr},
    {0x04, 0x00, "logical unit not ready, cause not reportable", nullptr},
    {0x04, 0x01, "logical unit is in process of becoming ready", nullptr},
    {0x04, 0x02, "logical unit not ready, initializing command required", nullptr},
    {0x04, 0x09, "logical unit not ready, self-test in progress", nullptr},
    {0x0C, 0x00, "write error", nullptr},
    {0x1A, 0x00, "parameter list length error", nullptr},
    {0x20, 0x00, "invalid command operation code", "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x04, "unaligned write command", nullptr},
    {0x24, 0x00, "invalid field in CDB", "INVALID FIELD IN CDB"},
    {0x25, 0x00, "logical unit not supported", nullptr},
    {0x26, 0x00, "invalid field in parameter list", nullptr},
    {0x26, 0x01, "parameter not supported", nullptr},
    {0x26, 0x02, "parameter value invalid", nullptr},
    {0x29, 0x00, "power on, reset, or bus device reset occurred", nullptr},
    {0x29, 0x01, "power on occurred", nullptr},
    {0x2A, 0x01, "mode parameters changed", nullptr},
    {0x2C, 0x00, "command sequence error", nullptr},
    {0x3A, 0x00, "medium not present", nullptr},
    {0x3F, 0x01, "microcode has been changed", nullptr},
    {0x3F, 0x03, "inquiry data has changed", nullptr},
    {0x3F, 0x16, "microcode has been changed without reset", nullptr},
    {0x44, 0x00, "internal target failure", nullptr},
    {0x47, 0x00, "SCSI parity error", nullptr},
    {0x4B, 0x00, "data phase error", nullptr},
    {0x4E, 0x00, "overlapped commands attempted", nullptr},
    {0x5D, 0x00, "failure prediction threshold exceeded", nullptr},
};

constexpr const char *k_host_statuses[] = {
    "DID_OK",
    "DID_NO_CONNECT",
    "DID_BUS_BUSY",
    "DID_TIME_OUT",
    "DID_BAD_TARGET",
    "DID_ABORT",
    "DID_PARITY",
    "DID_ERROR",
    "DID_RESET",
    "DID_BAD_INTR",
    "DID_PASSTHROUGH",
    "DID_SOFT_ERROR",
    "DID_IMM_RETRY",
    "DID_REQUEUE",
    "DID_TRANSPORT_DISRUPTED",
    "DID_TRANSPORT_FAILFAST",
    "DID_TARGET_FAILURE",
    "DID_NEXUS_FAILURE",
    "DID_ALLOC_FAILURE",
    "DID_MEDIUM_ERROR",
};

const StatusName *find_status(uint8_t masked) {
    for (const StatusName &s : k_statuses) {
        if (s.masked == masked) {
            return &s;
        }
    }
    return nullptr;
}

const AscName *find_asc(uint8_t asc, uint8_t ascq) {
    for (const AscName &a : k_asc_names) {
        if (a.asc == asc && a.ascq == ascq) {
            return &a;
        }
    }
    return nullptr;
}

} // namespace

const char *scsi_status_name(uint8_t masked_status) {
    const StatusName *s = find_status(masked_status);
    return s != nullptr ? s->name : nullptr;
}

const char *scsi_status_debug_name(uint8_t masked_status) {
    const StatusName *s = find_status(masked_status);
    return s != nullptr ? s->debug_name : nullptr;
}

const char *sense_key_name(uint8_t key) {
    return k_sense_keys[key & 0x0F].name;
}

const char *sense_key_debug_name(uint8_t key) {
    return k_sense_keys[key & 0x0F].debug_name;
}

const char *asc_ascq_name(uint8_t asc, uint8_t ascq) {
    const AscName *a = find_asc(asc, ascq);
    return a != nullptr ? a->name : nullptr;
}

const char *asc_ascq_debug_name(uint8_t asc, uint8_t ascq) {
    const AscName *a = find_asc(asc, ascq);
    return a != nullptr ? a->debug_name : nullptr;
}

const char *host_status_name(uint16_t host_status) {
    constexpr size_t count = sizeof k_host_statuses / sizeof k_host_statuses[0];
    return host_status < count ? k_host_statuses[host_status] : nullptr;
}
