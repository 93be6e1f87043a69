#include "sg/verdict.h"

#include "sg/scsi_names.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

// Masked SCSI status values (the SAM status shifted right by one).
constexpr uint8_t STATUS_GOOD = 0x00;
constexpr uint8_t STATUS_CHECK_CONDITION = 0x01;
constexpr uint8_t STATUS_CONDITION_MET = 0x02;

constexpr uint8_t SENSE_NO_SENSE = 0x0;
constexpr uint8_t SENSE_RECOVERED_ERROR = 0x1;
constexpr uint8_t SENSE_ILLEGAL_REQUEST = 0x5;
constexpr uint8_t SENSE_UNIT_ATTENTION = 0x6;

bool transport_words_clean(const CommandFacts &f) {
    return !f.timed_out && f.host_status == 0 &&
           (f.driver_status == 0 || f.driver_status == DRIVER_SENSE);
}

// A key that says the command did not complete: anything but NO SENSE and RECOVERED ERROR.
bool key_says_failed(const CommandFacts &f) {
    return f.has_sense_key && f.sense_key != SENSE_NO_SENSE && f.sense_key != SENSE_RECOVERED_ERROR;
}

const char *or_unknown(const char *name) {
    return name != nullptr ? name : "unknown";
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

// The rules both download methods share: the words of the host adapter and of the driver.
bool transport_words_failed(const CommandFacts &f, CommandVerdict &v) {
    if (f.timed_out) {
        v = failed_because("command timed out");
        return true;
    }
    if (f.host_status != 0) {
        v = failed_because("host status 0x%x (%s)", unsigned{f.host_status},
                           or_unknown(host_status_name(f.host_status)));
        return true;
    }
    if (f.driver_status != 0 && f.driver_status != DRIVER_SENSE) {
        v = failed_because("driver status 0x%x", unsigned{f.driver_status});
        return true;
    }
    return false;
}

bool status_says_completed(uint8_t status) {
    return status == STATUS_GOOD || status == STATUS_CONDITION_MET ||
           status == STATUS_CHECK_CONDITION;
}

CommandVerdict status_failure(const CommandFacts &f) {
    return failed_because("SCSI status 0x%x (%s)", unsigned{f.status},
                          or_unknown(scsi_status_name(f.status)));
}

CommandVerdict sense_key_failure(const CommandFacts &f) {
    return failed_because("sense key 0x%x (%s), ASC 0x%x ASCQ 0x%x", unsigned{f.sense_key},
                          sense_key_name(f.sense_key), unsigned{f.asc}, unsigned{f.ascq});
}

CommandVerdict resid_failure(const CommandFacts &f) {
    return failed_because("%d of the command's %u bytes were not transferred", f.resid,
                          f.requested);
}

__attribute__((format(printf, 2, 3))) void append(std::string &text, const char *format, ...) {
    char part[96];
    va_list args;
    va_start(args, format);
    vsnprintf(part, sizeof part, format, args);
    va_end(args);
    if (!text.empty()) {
        text += ", ";
    }
    text += part;
}

} // namespace

CommandFacts classify_command(int send_result, const SgRequest &req) {
    CommandFacts f{};
    f.opcode = (req.cdb != nullptr && req.cdb_len > 0) ? req.cdb[0] : 0;
    f.requested = req.data_len;
    if (send_result < 0) {
        f.transport_failed = true;
        f.transport_errno = req.io_errno;
        return f;
    }
    f.host_status = req.host_status;
    f.driver_status = req.driver_status;
    f.timed_out = req.host_status == DID_TIME_OUT || (req.driver_status & 0x0F) == DRIVER_TIMEOUT;
    f.status = req.status;
    f.sense_len = req.sense_len;
    // The sense fields of the request keep an earlier command's values when this one wrote
    // none; the decoded sense of this command says what arrived.
    if (req.sense_len != 0) {
        f.response_code = req.sense.response_code;
        f.has_sense_key = req.sense.key_arrived;
    }
    if (f.has_sense_key) {
        f.sense_key = req.sense.sense_key;
        f.asc = req.sense.asc;
        f.ascq = req.sense.ascq;
    }
    f.has_ata = req.sense.has_ata;
    f.ata = req.sense.ata;
    f.resid = req.resid;
    uint32_t missing = req.resid > 0 ? std::min(static_cast<uint32_t>(req.resid), req.data_len) : 0;
    f.transferred = req.data_len - missing;
    return f;
}

Reply judge_identification(const CommandFacts &f) {
    if (f.transport_failed || !transport_words_clean(f) ||
        (f.status != STATUS_GOOD && f.status != STATUS_CHECK_CONDITION)) {
        return Reply::lost;
    }
    if (is_ata_pass_through_opcode(f.opcode) && f.has_ata) {
        return (f.ata.status & (ATA_STATUS_ERR | ATA_STATUS_DF)) != 0 ? Reply::declined
                                                                      : Reply::answered;
    }
    return f.status == STATUS_CHECK_CONDITION ? Reply::declined : Reply::answered;
}

bool reports_unit_attention(const CommandFacts &f) {
    return !f.transport_failed && transport_words_clean(f) && f.status == STATUS_CHECK_CONDITION &&
           f.has_sense_key && f.sense_key == SENSE_UNIT_ATTENTION;
}

CommandVerdict judge_write_buffer_command(const CommandFacts &f) {
    if (f.transport_failed || (f.has_sense_key && f.sense_key != 0)) {
        return failed_plainly();
    }
    CommandVerdict v{};
    if (transport_words_failed(f, v)) {
        return v;
    }
    if (f.status == STATUS_CHECK_CONDITION && !f.has_sense_key) {
        if (f.sense_len == 0) {
            return failed_because("CHECK CONDITION without sense data");
        }
        if (sense_has_key_layout(f.response_code)) {
            return failed_because("CHECK CONDITION with %u bytes of sense data, too few for "
                                  "a sense key",
                                  unsigned{f.sense_len});
        }
        return failed_because("CHECK CONDITION with sense data of response code 0x%x",
                              unsigned{f.response_code});
    }
    if (!status_says_completed(f.status)) {
        return status_failure(f);
    }
    if (f.resid > 0) {
        return resid_failure(f);
    }
    return passed();
}

CommandVerdict judge_ata_download_command(const CommandFacts &f) {
    if (f.transport_failed || (f.has_ata && f.ata.error != 0)) {
        return failed_plainly();
    }
    CommandVerdict v{};
    if (transport_words_failed(f, v)) {
        return v;
    }
    // A status other than these means the command never reached the drive; name it rather
    // than blame missing registers on the device.
    if (!status_says_completed(f.status)) {
        return status_failure(f);
    }
    bool bad_key = key_says_failed(f);
    if (!f.has_ata) {
        // ILLEGAL REQUEST without registers is how a device that does not implement ATA
        // PASS-THROUGH refuses it; any other key says what happened to the command.
        if (bad_key && f.sense_key != SENSE_ILLEGAL_REQUEST) {
            return sense_key_failure(f);
        }
        return failed_because(
            "no ATA status returned; the device may not support ATA PASS-THROUGH");
    }
    uint8_t bad_bits = f.ata.status & (ATA_STATUS_ERR | ATA_STATUS_DF | ATA_STATUS_BSY);
    if (bad_bits != 0) {
        return failed_because("ATA status 0x%x has%s%s%s set", unsigned{f.ata.status},
                              (bad_bits & ATA_STATUS_BSY) != 0 ? " BSY" : "",
                              (bad_bits & ATA_STATUS_DF) != 0 ? " DF" : "",
                              (bad_bits & ATA_STATUS_ERR) != 0 ? " ERR" : "");
    }
    if (bad_key) {
        return sense_key_failure(f);
    }
    if (f.resid > 0) {
        return resid_failure(f);
    }
    return passed();
}

bool refuses_activation(const CommandFacts &f) {
    constexpr uint8_t k_asc_command_sequence_error = 0x2C;
    if (f.transport_failed || !transport_words_clean(f) || f.status != STATUS_CHECK_CONDITION) {
        return false;
    }
    if (f.has_ata) {
        return (f.ata.error & ATA_ERROR_ABRT) != 0;
    }
    return f.has_sense_key && f.sense_key == SENSE_ILLEGAL_REQUEST &&
           f.asc == k_asc_command_sequence_error && f.ascq == 0;
}

bool expects_more_microcode(const CommandFacts &f, uint8_t sent_count) {
    constexpr uint8_t k_count_more_expected = 0x01;
    return f.has_ata && f.ata.count == k_count_more_expected && sent_count != k_count_more_expected;
}

std::string describe_answer(const CommandFacts &f) {
    std::string text;
    if (f.transport_failed) {
        append(text, "SG_IO failed: %s",
               f.transport_errno != 0 ? strerror(f.transport_errno) : "not sent");
        return text;
    }
    if (f.timed_out) {
        append(text, "timed out");
    }
    if (f.host_status != 0) {
        append(text, "host status 0x%x %s", unsigned{f.host_status},
               or_unknown(host_status_name(f.host_status)));
    }
    if (f.driver_status != 0 && f.driver_status != DRIVER_SENSE) {
        append(text, "driver status 0x%x", unsigned{f.driver_status});
    }
    const char *status = scsi_status_name(f.status);
    if (status != nullptr) {
        append(text, "%s", status);
    } else {
        append(text, "SCSI status 0x%x", unsigned{f.status});
    }
    if (f.has_sense_key) {
        append(text, "sense key 0x%x %s", unsigned{f.sense_key}, sense_key_name(f.sense_key));
        const char *pair = asc_ascq_name(f.asc, f.ascq);
        append(text, "ASC/ASCQ 0x%02x/0x%02x%s%s", unsigned{f.asc}, unsigned{f.ascq},
               pair != nullptr ? " " : "", pair != nullptr ? pair : "");
    } else if (f.sense_len != 0) {
        append(text, "%u bytes of sense data with response code 0x%x and no sense key",
               unsigned{f.sense_len}, unsigned{f.response_code});
    } else if (f.status == STATUS_CHECK_CONDITION) {
        append(text, "no sense data");
    }
    if (f.has_ata) {
        append(text, "ATA Error 0x%02x Status 0x%02x Count 0x%02x", unsigned{f.ata.error},
               unsigned{f.ata.status}, unsigned{f.ata.count});
    }
    if (f.transferred < f.requested) {
        append(text, "%u of %u bytes not transferred", f.requested - f.transferred, f.requested);
    }
    return text;
}
