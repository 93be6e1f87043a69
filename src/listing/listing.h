// The identity listing that dl_cor_fw -i prints: the one place that writes a listing line and
// reads it back into its columns, so that a CFS file can be tried against the drives of a
// listing without touching a device (cfs_tool plan), and a bay can be built from one.
//
// A listing line is "%-9s %s MN: %-20s SN: %-8s FW: %s" (vendor, device path, full model
// number, serial number, firmware column) followed by a line end. A run that cannot open or
// identify a device writes one of the stop lines instead and ends there, so the devices after
// it are never listed.
//
// Writing and reading round-trip: parse_listing_line gives back what format_listing_line wrote
// for every drive a run lists, less the blanks after the vendor and the serial number and with
// the serial's control bytes shown as '?'.
#pragma once

#include <string>
#include <string_view>

// The columns of one listing line.
struct ListingLine {
    std::string vendor;   // the vendor column less the blanks after it
    std::string device;   // the device path
    std::string model;    // the full model number, exactly as the drive gave it
    std::string serial;   // the serial number column less the blanks after it
    std::string firmware; // the firmware column, exactly, to the end of the line
};

// The listing line of one drive, with its line end. Each column is written up to its first
// NUL byte; a control byte of the serial (01h-1Fh, 7Fh) shows as '?', and so does a
// terminal-unsafe byte of the vendor, model and firmware columns (terminal_safe), so that a
// drive's strings cannot break the line or reach the terminal as escape sequences.
std::string format_listing_line(const ListingLine &columns);

// How a CFS run treats the identity of a listed drive.
enum ListingIdentity : int {
    LISTING_NOT_ATA = 0,    // the vendor does not begin "ATA": never looked up
    LISTING_INCOMPLETE = 1, // an ATA drive whose firmware column is the INQUIRY stand-in
    LISTING_COMPLETE = 2,   // an ATA drive taken to have a complete identity
};

// Reads one line (without its line end) of dl_cor_fw's output. Returns true and fills *out
// when the line is an identity listing line, false (leaving *out unspecified) for any other
// line: the banner, download messages, a line with a NUL byte, or one whose columns do not
// have the widths the listing gives them.
bool parse_listing_line(std::string_view line, ListingLine *out);

// Returns the ListingIdentity of a parsed line. The listing does not show whether both full
// identity reads succeeded; the firmware column proves a failed one only when it holds a
// whitespace byte, which a full revision never holds. Every other ATA drive counts as
// complete.
int listing_identity(const ListingLine &line);

// Why the listing run stopped at a device.
enum ListingStop : int {
    LISTING_NO_STOP = 0,      // the line is not a stop line
    LISTING_STOP_OPEN = 1,    // "Error: Could not open handle to %s"
    LISTING_STOP_INQUIRY = 2, // "Sending INQUIRY command to %s Failed"
    LISTING_STOP_VPD = 3,     // "Sending INQUIRY VPD 0x80 command to %s Failed"
};

// The line (with its line end) that the run writes, instead of a listing line, for the
// device at path where it stops (a ListingStop other than LISTING_NO_STOP).
std::string format_listing_stop_line(int stop, const char *path);

// Reads one line (without its line end) of dl_cor_fw's output. Returns the ListingStop of a
// stop line and stores its device path in *device; returns LISTING_NO_STOP (leaving *device
// as it was) for any other line.
int parse_listing_stop_line(std::string_view line, std::string *device);

// Whether a listing holds all that the run which made it wrote.
enum ListingWhole : int {
    LISTING_WHOLE = 0,            // it ends with the run's final blank line, or at a stop line
    LISTING_ENDS_INSIDE_LINE = 1, // the text ends without a line end: a line was cut
    LISTING_NO_FINAL_BLANK = 2,   // whole lines, but not the blank line every run writes last
    LISTING_NO_DRIVE = 3,         // whole, but neither a drive line nor a stop line
};

// Reads the whole text of a listing as dl_cor_fw -i writes it: every run, one that stopped at
// a device too, ends its output with a blank line, so a listing without it was cut short (a
// run killed before its buffered output was written, a copy that stopped early). A stop line
// ends the listing: what follows it is not judged. Returns a ListingWhole, and stores in
// *lines the number of lines read (a cut last line included) up to the end or the stop line.
int listing_wholeness(std::string_view text, unsigned long *lines);

// What a listing that listing_wholeness found cut short is missing, for a message: "it ends
// inside line 3: the rest of that line and the run's final blank line are missing" ...
// Returns an empty text for LISTING_WHOLE.
std::string listing_missing_text(int whole, unsigned long lines);
