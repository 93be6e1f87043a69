// The download methods: one row per WRITE BUFFER mode and DOWNLOAD MICROCODE subcommand the
// system sends, with everything the plan, the checks and the sender need to know of it. A
// new mode is one row here.
#pragma once

#include <cstdint>
#include <string>

enum ForcedMethod : int {
    METHOD_AUTO = 0,
    METHOD_WRITE_BUFFER = 1,
    METHOD_ATA_PASSTHROUGH = 2,
};

// The two commands that carry microcode.
enum DownloadSender : int {
    SENDER_WRITE_BUFFER,    // SCSI WRITE BUFFER, code = mode
    SENDER_ATA_PASSTHROUGH, // ATA DOWNLOAD MICROCODE in ATA PASS-THROUGH (12), code = subcommand
};

// What a run asks of the drive.
enum class DownloadGoal : int {
    update,   // send the image; the drive runs it (a plain run, -f, -m, -c)
    stage,    // send the image; the drive keeps it until an activation (--stage)
    activate, // activate what a staging run left (--activate)
    other,    // a code only the senders' callers name (never chosen by a run)
};

// How a method's commands are cut.
enum class Segmenting : int {
    whole,   // no offsets: the image in commands of up to 8 MiB (one for any image up to 8 MiB)
    offsets, // offsets: segments of the segment count (-s) x 512 bytes
    staged,  // offsets: the segment count, else the size the drive states for staging
    none,    // no data: one command
};

struct DownloadMethod {
    DownloadSender sender;
    uint8_t code; // WRITE BUFFER mode, or DOWNLOAD MICROCODE subcommand
    DownloadGoal goal;
    bool segmented; // for DownloadGoal::update: the method of a run that gives -s
    Segmenting segmenting;
    bool activates;       // the drive runs new microcode once the method's last command is done
    uint8_t activated_by; // the code that activates what this method leaves (0: none needed)
};

// WRITE BUFFER modes and DOWNLOAD MICROCODE subcommands by value.
inline constexpr uint8_t WB_MODE_DOWNLOAD_SAVE = 0x05;
inline constexpr uint8_t WB_MODE_DOWNLOAD_OFFSETS = 0x06;
inline constexpr uint8_t WB_MODE_DOWNLOAD_OFFSETS_SAVE = 0x07;
inline constexpr uint8_t WB_MODE_DOWNLOAD_OFFSETS_DEFER = 0x0E;
inline constexpr uint8_t WB_MODE_ACTIVATE_DEFERRED = 0x0F;
inline constexpr uint8_t DLMC_OFFSETS_SAVE = 0x03;
inline constexpr uint8_t DLMC_SAVE = 0x07;
inline constexpr uint8_t DLMC_OFFSETS_DEFER = 0x0E;
inline constexpr uint8_t DLMC_ACTIVATE = 0x0F;

// The method table.
inline constexpr DownloadMethod k_download_methods[] = {
    // sender               code  goal                      -s     cut activates by
    {SENDER_WRITE_BUFFER, 0x05, DownloadGoal::update, false, Segmenting::whole, true, 0},
    {SENDER_WRITE_BUFFER, 0x06, DownloadGoal::other, true, Segmenting::offsets, true, 0},
    {SENDER_WRITE_BUFFER, 0x07, DownloadGoal::update, true, Segmenting::offsets, true, 0},
    {SENDER_WRITE_BUFFER, 0x0E, DownloadGoal::stage, false, Segmenting::staged, false, 0x0F},
    {SENDER_WRITE_BUFFER, 0x0F, DownloadGoal::activate, false, Segmenting::none, true, 0},
    {SENDER_ATA_PASSTHROUGH, 0x07, DownloadGoal::update, false, Segmenting::whole, true, 0},
    {SENDER_ATA_PASSTHROUGH, 0x03, DownloadGoal::update, true, Segmenting::offsets, true, 0},
    {SENDER_ATA_PASSTHROUGH, 0x0E, DownloadGoal::stage, false, Segmenting::staged, false, 0x0F},
    {SENDER_ATA_PASSTHROUGH, 0x0F, DownloadGoal::activate, false, Segmenting::none, true, 0},
};

// The method a run uses for goal by sender: for an update, the segmented one when the run
// gives a segment count.
DownloadMethod method_for_goal(DownloadSender sender, DownloadGoal goal, bool segmented);

// The row of sender and code; a code without a row is sent unsegmented, as a method that
// activates (DownloadGoal::other).
DownloadMethod method_for_code(DownloadSender sender, uint8_t code);

// The sender a download uses and the lines announcing a forced choice, in print order.
struct MethodChoice {
    DownloadSender sender;
    int line_count;
    const char *lines[2];
};

// Returns the method for the forced choice and the kind of drive.
MethodChoice choose_method(ForcedMethod method, bool is_ata);

// The name of a method with its mode or subcommand: "WRITE BUFFER 07h", "DOWNLOAD MICROCODE
// 0Eh" ...
std::string method_name(const DownloadMethod &m);
