// The pure halves of send_io: building the sg_io_hdr from a request, and writing a finished
// command's results back into the request.
#pragma once

#include "sg/sg_io.h"

#include <scsi/sg.h>

// Maps SgRequest::direction to the driver's dxfer_direction; returns 0 for a code that is
// not understood (no driver value is 0).
int map_direction(int8_t direction);

// Fills hdr (cleared first) for req, with sense pointing at a SG_SENSE_LEN-byte area.
void fill_io_hdr(sg_io_hdr_t *hdr, const SgRequest *req, int dxfer_direction, uint8_t *sense);

// Writes what the driver returned in hdr and the sense area back into req.
void apply_io_result(SgRequest *req, const sg_io_hdr_t *hdr, const uint8_t *sense);
