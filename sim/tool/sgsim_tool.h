// The subcommands of the sgsim command.
#pragma once

// sgsim probe NODE [-r LEN | -s LEN [-i FILE]] [-t MS] [-f BYTE] [-n COUNT] [-D] CDB-BYTE...
// Opens the node, asks SG_GET_VERSION_NUM, sends the command COUNT times and prints every
// field of the answer. Returns 0, 1 for a usage error, 2 when the open fails, 3 when an
// ioctl fails.
int probe_main(int argc, char **argv);

// sgsim bay LISTING [--cfs FILE] [-o OUT]: writes a bay file with one drive per node of a
// listing of dl_cor_fw -i --enump --tmc 31847 ("-": standard input), each listing as the
// listed drive did and taking any image (docs/sgsim.md). Returns 0, 1 for a usage error, an
// input not read, a line that no drive lists or OUT not written, 10 when the listing was cut
// short at a device.
int bay_main(int argc, char **argv);

// sgsim scan DIR [PREFIX]: lists DIR with scandir and alphasort, keeping the names that
// begin with PREFIX. Returns 0, 1 for a usage error, 2 when the scan fails.
int scan_main(int argc, char **argv);

// sgsim capture [NODE...] [-o OUT]: reads each node (default: the sg nodes of /dev) with the
// identification commands of its table only and writes a bay (OUT, default standard output,
// whole or not at all) whose drives answer those commands with the captured bytes. Returns
// 0, 1 for a usage error or OUT not written, 2 when a node could not be captured (the bay
// holds the others).
int capture_main(int argc, char **argv);
