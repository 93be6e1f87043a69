// The judgement of one finished download command. A command counts as done only when every
// word the driver and the device returned says so: the transport result, the host and
// driver status, the SCSI status, the sense data, the ATA registers and the residual count.
#include "download/download_plan.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Masked SCSI status values (the SAM status shifted right by one).
constexpr uint8_t STATUS_GOOD = 0x00;
constexpr uint8_t STATUS_CHECK_CONDITION = 0x01;
constexpr uint8_t STATUS_CONDITION_MET = 0x02;

constexpr uint16_t DID_TIME_OUT = 0x03;
constexpr uint16_t DRIVER_TIMEOUT = 0x06;
constexpr uint16_t DRIVER_SENSE = 0x08;

constexpr uint8_t SENSE_NO_SENSE = 0x0;
constexpr uint8_t SENSE_RECOVERED_ERROR = 0x1;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x5;

// ATA Status register bits that end a command in error.
constexpr uint8_t ATA_STATUS_ERR = 0x01;
constexpr uint8_t ATA_STATUS_DF = 0x20;
constexpr uint8_t ATA_STATUS_BSY = 0x80;

const char *host_status_name(uint16_t host) {
    static const char *const names[] = {
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
    return host < sizeof names / sizeof names[0] ? names[host] : "unknown";
}

const char *scsi_status_name(uint8_t masked) {
    switch (masked) {
    case 0x04:
        return "BUSY";
    case 0x08:
        return "INTERMEDIATE";
    case 0x0A:
        return "INTERMEDIATE-CONDITION MET";
    case 0x0C:
        return "RESERVATION CONFLICT";
    case 0x11:
        return "COMMAND TERMINATED";
    case 0x14:
        return "TASK SET FULL";
    case 0x18:
        return "ACA ACTIVE";
    case 0x20:
        return "TASK ABORTED";
    default:
        return "unknown";
    }
}

const char *sense_key_name(uint8_t key) {
    static const char *const names[] = {
        "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
        "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
        "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
        "EQUAL",          "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED",
    };
    return names[key & 0x0F];
}

// Sense bytes that hold the sense key: byte 2 of fixed format (70h/71h), byte 1 of
// descriptor format (72h/73h).
constexpr uint8_t k_fixed_key_reach = 3;
constexpr uint8_t k_descriptor_key_reach = 2;

bool has_sense_key_layout(const SgRequest &req) {
    uint8_t code = req.sense_format & 0x7F;
    return req.sense_len != 0 && code >= 0x70 && code <= 0x73;
}

// True when this command, and not an earlier one, brought sense data with a sense key:
// the key, ASC and ASCQ fields then hold its answer. Sense cut short before the key byte (a
// bridge that truncates it) brings no key: the zeros the cleared area holds there are not
// NO SENSE.
bool sense_key_is_current(const SgRequest &req) {
    if (!has_sense_key_layout(req)) {
        return false;
    }
    bool fixed = (req.sense_format & 0x7F) <= 0x71;
    return req.sense_len >= (fixed ? k_fixed_key_reach : k_descriptor_key_reach);
}

CommandVerdict passed() {
    return CommandVerdict{};
}

CommandVerdict failed_plainly() {
    CommandVerdict v{};
    v.failed = true;
    return v;
}

__attribute__((format(printf, 1, 2))) CommandVerdict failed_because(const char *format, ...) {
    CommandVerdict v{};
    v.failed = true;
    v.explained = true;
    va_list args;
    va_start(args, format);
    vsnprintf(v.reason, sizeof v.reason, format, args);
    va_end(args);
    return v;
}

// The rules both methods share: the words of the host adapter and of the driver.
bool transport_words_failed(const SgRequest &req, CommandVerdict &v) {
    if (req.host_status == DID_TIME_OUT || (req.driver_status & 0x0F) == DRIVER_TIMEOUT) {
        v = failed_because("command timed out");
        return true;
    }
    if (req.host_status != 0) {
        v = failed_because("host status 0x%x (%s)", unsigned{req.host_status},
                           host_status_name(req.host_status));
        return true;
    }
    if (req.driver_status != 0 && req.driver_status != DRIVER_SENSE) {
        v = failed_because("driver status 0x%x", unsigned{req.driver_status});
        return true;
    }
    return false;
}

CommandVerdict sense_key_failure(const SgRequest &req) {
    return failed_because("sense key 0x%x (%s), ASC 0x%x ASCQ 0x%x", unsigned{req.sense_key},
                          sense_key_name(req.sense_key), unsigned{req.asc}, unsigned{req.ascq});
}

CommandVerdict resid_failure(const SgRequest &req) {
    return failed_because("%d of the command's %u bytes were not transferred", req.resid,
                          req.data_len);
}

} // namespace

CommandVerdict judge_write_buffer_command(int send_result, const SgRequest &req) {
    if (send_result < 0 || req.sense_key != 0) {
        return failed_plainly();
    }
    CommandVerdict v{};
    if (transport_words_failed(req, v)) {
        return v;
    }
    if (req.status == STATUS_CHECK_CONDITION && !sense_key_is_current(req)) {
        if (req.sense_len == 0) {
            return failed_because("CHECK CONDITION without sense data");
        }
        if (has_sense_key_layout(req)) {
            return failed_because("CHECK CONDITION with %u bytes of sense data, too few for "
                                  "a sense key",
                                  unsigned{req.sense_len});
        }
        return failed_because("CHECK CONDITION with sense data of response code 0x%x",
                              unsigned{req.sense_format});
    }
    if (req.status != STATUS_GOOD && req.status != STATUS_CONDITION_MET &&
        req.status != STATUS_CHECK_CONDITION) {
        return failed_because("SCSI status 0x%x (%s)", unsigned{req.status},
                              scsi_status_name(req.status));
    }
    if (req.resid > 0) {
        return resid_failure(req);
    }
    return passed();
}

CommandVerdict judge_ata_download_command(int send_result, const SgRequest &req) {
    if (send_result < 0 || req.ata_error != 0) {
        return failed_plainly();
    }
    CommandVerdict v{};
    if (transport_words_failed(req, v)) {
        return v;
    }
    // A status other than these means the command never reached the drive; name it rather
    // than blame missing registers on the device.
    if (req.status != STATUS_GOOD && req.status != STATUS_CONDITION_MET &&
        req.status != STATUS_CHECK_CONDITION) {
        return failed_because("SCSI status 0x%x (%s)", unsigned{req.status},
                              scsi_status_name(req.status));
    }
    bool current_key = sense_key_is_current(req);
    bool bad_key =
        current_key && req.sense_key != SENSE_NO_SENSE && req.sense_key != SENSE_RECOVERED_ERROR;
    if (!req.ata_regs_valid) {
        // ILLEGAL REQUEST without registers is how a device that does not implement ATA
        // PASS-THROUGH refuses it; any other key says what happened to the command.
        if (bad_key && req.sense_key != SENSE_ILLEGAL_REQUEST) {
            return sense_key_failure(req);
        }
        return failed_because(
            "no ATA status returned; the device may not support ATA PASS-THROUGH");
    }
    uint8_t bad_bits = req.ata_status & (ATA_STATUS_ERR | ATA_STATUS_DF | ATA_STATUS_BSY);
    if (bad_bits != 0) {
        return failed_because("ATA status 0x%x has%s%s%s set", unsigned{req.ata_status},
                              (bad_bits & ATA_STATUS_BSY) != 0 ? " BSY" : "",
                              (bad_bits & ATA_STATUS_DF) != 0 ? " DF" : "",
                              (bad_bits & ATA_STATUS_ERR) != 0 ? " ERR" : "");
    }
    if (bad_key) {
        return sense_key_failure(req);
    }
    if (req.resid > 0) {
        return resid_failure(req);
    }
    return passed();
}
