// The firmware revision read again after a CFS-driven download, to confirm that it changed.
#pragma once

// Reads the drive's full firmware revision with the same commands and the same assembly as
// get_full_fw, into buf of len bytes (at least FULL_FW_MIN_LEN). Unlike get_full_fw, a
// command that the drive did not answer counts as a failed read: a transport error, a
// time-out or other host error, BUSY, sense other than NO SENSE or RECOVERED ERROR, ATA
// Status with ERR or DF, and an IDENTIFY DEVICE that transferred nothing. A drive that has
// just taken new microcode may still be resetting, and the cleared buffer of such an answer
// must not read as a new revision.
// Returns the number of bytes stored (buf NUL-terminated), or -1 when the revision could not
// be read or the drive is not ATA.
int reread_full_fw(int fd, char *buf, int len, bool is_ata);
