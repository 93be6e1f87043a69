// Identification commands: INQUIRY, and IDENTIFY DEVICE with the drives' own firmware
// requests through ATA PASS-THROUGH (12).
#pragma once

#include <cstdint>

// Reads standard INQUIRY data (page 0) or one VPD page into buf.
// Returns -1 for a buffer shorter than 96 bytes (nothing sent), else send_io's result.
int send_inq(int fd, uint8_t *buf, int len, uint8_t page);

// Reads the full model number of an ATA drive into buf (NUL-terminated, trimmed).
// Returns its length (0 to 40), or -1: a short buffer, a drive that is not ATA (nothing
// sent), or a command the transport could not run.
int get_full_mn(int fd, char *buf, int len, bool is_ata);

// Reads the full firmware revision of an ATA drive into buf (NUL-terminated).
// Returns the number of bytes stored (0 to 45), or -1 as get_full_mn.
int get_full_fw(int fd, char *buf, int len, bool is_ata);
