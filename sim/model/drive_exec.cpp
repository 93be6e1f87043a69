#include "drive_exec.h"

#include <cerrno>

#include "drive_reset.h"
#include "hostile.h"
#include "sense_build.h"
#include "sim_bytes.h"

std::vector<std::string> command_kinds(const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    std::vector<std::string> kinds;
    if (c.empty())
        return {"other", "any"};
    bool pt12 = c[0] == 0xa1 && c.size() >= 12;
    bool pt16 = c[0] == 0x85 && c.size() >= 16;
    if (c[0] == 0x12 && c.size() >= 6) {
        kinds.push_back((c[1] & 0x01) ? "vpd" : "inquiry");
    } else if (pt12 || pt16) {
        uint8_t command = pt12 ? c[9] : c[14];
        uint8_t lba_low = pt12 ? c[5] : c[8];
        uint8_t lba_mid = pt12 ? c[6] : c[10];
        uint8_t lba_high = pt12 ? c[7] : c[12];
        if (command == 0xec) {
            bool fwreq = lba_low == 0xdb && lba_mid == 0x97 && lba_high == 0x20;
            kinds.push_back(fwreq ? "fwreq" : "identify");
        } else if (command == 0xe5) {
            kinds.push_back("check_power");
        } else if (command == 0x92) {
            kinds.push_back("download");
        } else if (command == 0x2f) {
            kinds.push_back("read_log");
        }
        kinds.push_back("ata");
    } else if (c[0] == 0x3b) {
        kinds.push_back("write_buffer");
    } else if (c[0] == 0x3c) {
        kinds.push_back("read_buffer");
    } else if (c[0] == 0x00) {
        kinds.push_back("tur");
    } else {
        kinds.push_back("other");
    }
    kinds.push_back("any");
    return kinds;
}

// The first fault of the drive that fires for a command of these kinds, or null.
static const Fault *firing_fault(const Drive &d, const std::vector<std::string> &kinds) {
    for (const Fault &f : d.faults) {
        for (const std::string &k : kinds) {
            if (f.on != k)
                continue;
            auto it = d.rt.counts.find(k);
            uint32_t n = it == d.rt.counts.end() ? 0 : it->second;
            if (f.index == 0 || f.index == n)
                return &f;
        }
    }
    return nullptr;
}

static void count_kinds(Drive &d, const std::vector<std::string> &kinds) {
    for (const std::string &k : kinds)
        d.rt.counts[k]++;
}

static Answer apply_fault(const Bay &bay, Drive &d, const Fault &f, const Command &cmd) {
    Answer a;
    bool descriptor = d.type == DriveType::sata && bay.abort_sense == AbortSense::descriptor;
    if (f.kind == "errno") {
        a.io_errno = f.err != 0 ? f.err : EIO;
    } else if (f.kind == "vanish") {
        d.rt.vanished = true;
        a.io_errno = ENODEV;
    } else if (f.kind == "timeout") {
        // The kernel aborts the command when its time-out expires (the driver's default of
        // 60 s when none is given); the block layer's timer runs in whole seconds.
        uint32_t limit = cmd.timeout_ms != 0 ? cmd.timeout_ms : 60000;
        a.host_status = k_did_time_out;
        a.duration_ms = (limit + 999) / 1000 * 1000;
        a.resid = static_cast<int32_t>(cmd.dxfer_len);
    } else if (f.kind == "busy") {
        a.status = k_status_busy;
        a.resid = static_cast<int32_t>(cmd.dxfer_len);
    } else if (f.kind == "no_data") {
        a.resid = static_cast<int32_t>(cmd.dxfer_len);
    } else if (f.kind == "check") {
        a = check_condition(cmd, descriptor ? descriptor_sense(f.key, f.asc, f.ascq)
                                            : fixed_sense(f.key, f.asc, f.ascq));
    } else if (f.kind == "abort") {
        a = d.type == DriveType::sata
                ? sata_abort_answer(bay, d, cmd)
                : check_condition(cmd, fixed_sense(k_key_aborted_command, 0, 0));
    } else { // no_passthrough
        a = invalid_opcode(cmd, descriptor);
    }
    return a;
}

// A WRITE BUFFER 07h that continues the download in progress is not held up by the unit
// attention of a drive that activates after each command (accept-any, keep-revision).
static bool continues_download(const Drive &d, const Command &cmd) {
    const std::vector<uint8_t> &c = cmd.cdb;
    if (c[0] != 0x3b || c.size() < 10 || (c[1] & 0x1f) != 0x07)
        return false;
    uint64_t have = d.rt.download.received;
    return have != 0 && get_be24(&c[3]) == have;
}

// The answer of the drive's model, its faults and unit attention included.
static Answer model_answer(Bay &bay, size_t idx, const Command &cmd) {
    Drive &d = bay.drives[idx];
    Answer a;
    if (d.rt.vanished || cmd.cdb.empty()) {
        a.io_errno = d.rt.vanished ? ENODEV : EINVAL;
        return a;
    }
    std::vector<std::string> kinds = command_kinds(cmd);
    count_kinds(d, kinds);
    if (const Fault *f = firing_fault(d, kinds))
        return apply_fault(bay, d, *f, cmd);
    if (drive_becoming_ready(d)) {
        bool descriptor = d.type == DriveType::sata && bay.abort_sense == AbortSense::descriptor;
        return check_condition(cmd, descriptor ? descriptor_sense(k_key_not_ready, 0x04, 0x01)
                                               : fixed_sense(k_key_not_ready, 0x04, 0x01));
    }
    // A power-on's 29h/00h goes before microcode's 3Fh/16h, as the higher of the two.
    // Neither INQUIRY nor REQUEST SENSE reports or consumes it.
    bool held = d.type == DriveType::scsi && cmd.cdb[0] != 0x12 && cmd.cdb[0] != 0x03;
    if (held && (d.power_on_attention || (d.unit_attention && !continues_download(d, cmd)))) {
        bool power_on = d.power_on_attention;
        (power_on ? d.power_on_attention : d.unit_attention) = false;
        Answer attention =
            check_condition(cmd, power_on ? fixed_sense(k_key_unit_attention, 0x29, 0x00)
                                          : fixed_sense(k_key_unit_attention, 0x3f, 0x16));
        attention.state_changed = true;
        return attention;
    }
    return d.type == DriveType::scsi ? scsi_drive_answer(d, cmd) : sata_drive_answer(bay, d, cmd);
}

Answer execute_command(Bay &bay, size_t idx, const Command &cmd) {
    Answer a = model_answer(bay, idx, cmd);
    Drive &d = bay.drives[idx];
    if (d.rt.reset_started) {
        d.rt.reset_started = false;
        a.state_changed = true;
    }
    if (d.type == DriveType::scsi && d.flavor == ScsiFlavor::scsi_hd && a.io_errno == 0)
        d.rt.last_sense = a.status == k_status_check_condition ? a.sense : std::vector<uint8_t>{};
    if (!d.hostile)
        return a;
    return hostile_answer(d.hostile_script, d.rt.hostile_pos, cmd, std::move(a));
}

int open_drive(Bay &bay, size_t idx) {
    Drive &d = bay.drives[idx];
    if (d.rt.vanished)
        return ENODEV;
    if (drive_absent(d))
        return ENXIO;
    std::vector<std::string> kinds = {"open"};
    count_kinds(d, kinds);
    const Fault *f = firing_fault(d, kinds);
    if (f == nullptr)
        return 0;
    if (f->kind == "vanish") {
        d.rt.vanished = true;
        return ENODEV;
    }
    return f->err != 0 ? f->err : EACCES;
}

int version_of_drive(Bay &bay, size_t idx, int &value) {
    Drive &d = bay.drives[idx];
    if (d.rt.vanished)
        return ENODEV;
    std::vector<std::string> kinds = {"version"};
    count_kinds(d, kinds);
    const Fault *f = firing_fault(d, kinds);
    value = k_sg_version_num;
    if (f == nullptr)
        return 0;
    if (f->kind == "version") {
        value = f->value;
        return 0;
    }
    if (f->kind == "vanish") {
        d.rt.vanished = true;
        return ENODEV;
    }
    return f->err != 0 ? f->err : EIO;
}
