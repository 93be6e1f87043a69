// The verdicts on finished commands. A finished SgRequest becomes one record of facts, taken
// only from what this command returned; each kind of command is then judged by one small
// rule over that record. No caller reads raw sense bytes or keeps its own status constants.
#pragma once

#include "sg/ata_pass_through.h"
#include "sg/sg_io.h"

#include <cstddef>
#include <cstdint>
#include <string>

// What one finished command told the host.
struct CommandFacts {
    uint8_t opcode;
    bool transport_failed;  // send_io could not run the command (refused, or the ioctl failed)
    int transport_errno;    // the ioctl's errno when it failed
    bool timed_out;         // the host adapter or the driver reports a time-out
    uint16_t host_status;   // DID_* codes
    uint16_t driver_status; // DRIVER_* codes
    uint8_t status;         // masked SCSI status
    uint8_t sense_len;      // sense bytes the driver wrote
    uint8_t response_code;  // sense byte 0, when sense_len is not 0
    bool has_sense_key;     // a sense key arrived: fixed or descriptor sense up to its key byte
    uint8_t sense_key;
    uint8_t asc;
    uint8_t ascq;
    bool has_ata; // this command returned the ATA registers
    AtaRegisters ata;
    uint32_t requested;   // bytes the command asked to move
    uint32_t transferred; // bytes that moved, by resid
    int32_t resid;
};

// Builds the facts of the command that send_io has just finished with send_result.
CommandFacts classify_command(int send_result, const SgRequest &req);

// How an identification command (INQUIRY, IDENTIFY DEVICE and the firmware requests, TEST
// UNIT READY) was answered.
enum class Reply {
    answered, // the drive answered; the data are its answer (they may be fewer than asked for)
    declined, // the drive refused the command: CHECK CONDITION, or ERR or DF in the ATA Status
    lost,     // no answer came back: transport failure, time-out, host or driver error, BUSY
              // or another status that is neither GOOD nor CHECK CONDITION
};

// Judges an identification command. For ATA PASS-THROUGH the returned ATA registers decide
// alone when they arrived (a clean Status is an answer whatever the sense key says, as a SAT
// layer reports PIO data-in that ended with status 58h); without them, as for every other
// command, a CHECK CONDITION is a refusal.
Reply judge_identification(const CommandFacts &f);

// True when the command was answered with UNIT ATTENTION: a CHECK CONDITION whose sense key
// arrived and is 6h, with nothing from the host adapter or the driver.
bool reports_unit_attention(const CommandFacts &f);

inline constexpr size_t k_reason_len = 160;

// The judgement of one finished download command.
struct CommandVerdict {
    bool failed;
    // The failure is one that neither the transport result nor the plain test (sense key,
    // ATA Error register) shows, so the sender prints reason before its failure output.
    bool explained;
    char reason[k_reason_len];
};

// Judges a WRITE BUFFER command. It fails when the transport failed or a sense key other
// than 0 came back, and also on any host status, a driver status other than DRIVER_SENSE, a
// SCSI status other than GOOD, CONDITION MET or a CHECK CONDITION with a sense key, and bytes
// left untransferred.
CommandVerdict judge_write_buffer_command(const CommandFacts &f);

// Judges a DOWNLOAD MICROCODE command. It fails when the transport failed or the ATA Error
// register is not 0, and also on any host status, a driver status other than DRIVER_SENSE,
// a SCSI status that says the command never ran, no ATA registers from this command, ERR, DF
// or BSY in the ATA Status register, a sense key other than NO SENSE or RECOVERED ERROR, and
// bytes left untransferred.
CommandVerdict judge_ata_download_command(const CommandFacts &f);

// True when a drive refused an activation of deferred microcode (WRITE BUFFER 0Fh, DOWNLOAD
// MICROCODE 0Fh) as one with nothing staged refuses it: ILLEGAL REQUEST with ASC/ASCQ
// 2Ch/00h (COMMAND SEQUENCE ERROR), or ABRT in the ATA Error register that came back (which
// a drive that takes no 0Fh at all answers too).
bool refuses_activation(const CommandFacts &f);

// True when the registers after the last command of a segmented DOWNLOAD MICROCODE (03h) say
// that the drive expects more microcode: Count 01h, where the command did not itself send a
// count of 01h (a drive that reports no progress hands back the count it was sent).
bool expects_more_microcode(const CommandFacts &f, uint8_t sent_count);

// Says in one line what the drive or the host answered, with names: "CHECK CONDITION, sense
// key 0x6 UNIT ATTENTION, ASC/ASCQ 0x3f/0x01 microcode has been changed", "timed out (host
// status 0x3 DID_TIME_OUT)", "SG_IO failed: No such device", ...
std::string describe_answer(const CommandFacts &f);
