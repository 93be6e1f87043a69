// The one table of names for what a finished command can report: SCSI status, sense key,
// ASC/ASCQ pair and host status. The reason texts of failed commands and the --debug
// printers both read it, so a name is written once.
#pragma once

#include <cstdint>

// Returns the name of a masked SCSI status (GOOD, CHECK CONDITION, BUSY, ...), or nullptr for
// a value no standard names.
const char *scsi_status_name(uint8_t masked_status);

// Returns the wording the --debug status line uses for a masked status, or nullptr for the
// statuses it leaves unnamed. Its wording is the older one for TASK SET FULL (QUEUE FULL).
const char *scsi_status_debug_name(uint8_t masked_status);

// Returns the name of a sense key (low four bits): NO SENSE ... MISCOMPARE.
const char *sense_key_name(uint8_t key);

// Returns the wording the --debug sense-key line uses, or nullptr for the keys it prints as
// unknown (0Ch to 0Fh). Key 8 keeps the spelling that line has always had.
const char *sense_key_debug_name(uint8_t key);

// Returns the name of an additional sense code and qualifier, or nullptr for a pair not in
// the table.
const char *asc_ascq_name(uint8_t asc, uint8_t ascq);

// Returns the wording the --debug ASC/ASCQ line uses, or nullptr for the pairs it leaves
// unnamed (all but two).
const char *asc_ascq_debug_name(uint8_t asc, uint8_t ascq);

// Returns the name of a host status (DID_OK, DID_TIME_OUT, ...), or nullptr beyond the table.
const char *host_status_name(uint16_t host_status);
