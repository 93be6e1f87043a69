// The drive's statements read from its answers, and the check of a planned download against
// them: one table over both methods, stated and not stated, inside and outside the limits,
// the validity bits; the segment size a staging run chooses.
#include "download/preflight.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Answers {
    std::vector<std::pair<int, uint16_t>> words; // IDENTIFY words; none: no IDENTIFY
    std::optional<uint64_t> log;                 // capabilities quadword of an answered page
    std::optional<std::pair<bool, uint8_t>> ei;  // page 86h: DMS_VALID and DM_MD
    std::optional<std::pair<uint8_t, uint32_t>> descriptor; // boundary and capacity
};

DriveStatements statements_of(const Answers &a) {
    DriveStatements s;
    if (!a.words.empty()) {
        uint8_t id[512] = {};
        for (auto [word, value] : a.words) {
            id[2 * word] = static_cast<uint8_t>(value);
            id[2 * word + 1] = static_cast<uint8_t>(value >> 8);
        }
        parse_identify_statements(id, s);
    }
    if (a.log) {
        uint8_t page[512] = {0x01, 0x00, 0x03};
        for (int i = 0; i < 8; ++i) {
            page[16 + i] = static_cast<uint8_t>(*a.log >> (8 * i));
        }
        parse_capabilities_page(page, s);
    }
    if (a.ei) {
        uint8_t page[96] = {0x00, 0x86, 0x00, 0x3C};
        page[12] = a.ei->first ? 0x10 : 0x00;
        page[19] = a.ei->second;
        parse_extended_inquiry(page, sizeof page, s);
    }
    if (a.descriptor) {
        uint32_t cap = a.descriptor->second;
        uint8_t desc[4] = {a.descriptor->first, static_cast<uint8_t>(cap >> 16),
                           static_cast<uint8_t>(cap >> 8), static_cast<uint8_t>(cap)};
        parse_read_buffer_descriptor(desc, s);
    }
    return s;
}

constexpr DownloadSender ATA = SENDER_ATA_PASSTHROUGH;
constexpr DownloadSender WB = SENDER_WRITE_BUFFER;

TEST(Preflight, ChecksAgainstWhatTheDriveStates) {
    const struct {
        const char *what;
        Answers answers;
        DownloadSender sender;
        uint8_t code;
        uint16_t blocks; // per segment
        uint32_t length;
        const char *refusal; // nullptr: nothing refused
    } table[] = {
        {"word 83 states support", {{{83, 0x7401}}}, ATA, 0x07, 0, 4096, nullptr},
        {"word 83 states none",
         {{{83, 0x7400}}},
         ATA,
         0x07,
         0,
         4096,
         "IDENTIFY word 83 states that DOWNLOAD MICROCODE is not supported; the run sends "
         "DOWNLOAD MICROCODE 0x07"},
        {"word 83 not valid (bits 15:14 00b)", {{{83, 0x3400}}}, ATA, 0x07, 0, 4096, nullptr},
        {"word 119 states no 03h",
         {{{86, 0xB401}, {119, 0x4000}}},
         ATA,
         0x03,
         8,
         8192,
         "IDENTIFY word 119 states that DOWNLOAD MICROCODE 0x03 (with offsets) is not "
         "supported; the run sends 0x03"},
        {"word 119 not valid by word 86",
         {{{86, 0x3401}, {119, 0x4000}}},
         ATA,
         0x03,
         8,
         8192,
         nullptr},
        {"word 119 not valid by its bits 15:14",
         {{{86, 0xB401}, {119, 0x0000}}},
         ATA,
         0x03,
         8,
         8192,
         nullptr},
        {"segments under word 234",
         {{{234, 8}}},
         ATA,
         0x03,
         4,
         8192,
         "IDENTIFY word 234 states at least 8 blocks per command; the run sends segments of 4"},
        {"a lone last piece under word 234", {{{234, 8}}}, ATA, 0x03, 64, 2048, nullptr},
        {"segments over word 235",
         {{{235, 16}}},
         ATA,
         0x03,
         32,
         65536,
         "IDENTIFY word 235 states at most 16 blocks per command; the run sends 32 in one "
         "command"},
        {"word 235 FFFFh states nothing", {{{235, 0xFFFF}}}, ATA, 0x03, 32, 65536, nullptr},
        {"staging without the log",
         {},
         ATA,
         0x0E,
         64,
         65536,
         "the IDENTIFY DEVICE data log (30h, page 03h) could not be read, so the drive states "
         "nothing about staging; the run stages with 0x0e"},
        {"log states no deferred microcode",
         {{}, 0x8000000000000000},
         ATA,
         0x0E,
         64,
         65536,
         "the IDENTIFY DEVICE data log states that DOWNLOAD MICROCODE 0x0e (deferred) is not "
         "supported; the run stages with 0x0e"},
        {"log quadword not valid (bit 63)",
         {{}, 0x0000000000000000},
         ATA,
         0x0E,
         64,
         65536,
         nullptr},
        {"segments over the log's maximum",
         {{}, 0x8000000400100000},
         ATA,
         0x0E,
         32,
         65536,
         "the IDENTIFY DEVICE data log states at most 16 blocks per command; the run sends 32 "
         "in one command"},
        {"word 235 does not bind 0Eh",
         {{{235, 16}}, 0x8000000400000000},
         ATA,
         0x0E,
         32,
         65536,
         nullptr},
        {"ATA statements do not bind WRITE BUFFER", {{{83, 0x7400}}}, WB, 0x07, 64, 65536, nullptr},
        {"page 86h states 05h and 07h",
         {{}, {}, std::pair<bool, uint8_t>{true, 0x50}},
         WB,
         0x0E,
         64,
         65536,
         "the Extended INQUIRY Data page states the download modes 0x05 0x07; the run sends "
         "WRITE BUFFER mode 0x0e"},
        {"page 86h without DMS_VALID",
         {{}, {}, std::pair<bool, uint8_t>{false, 0x50}},
         WB,
         0x0E,
         64,
         65536,
         nullptr},
        {"page 86h states 0Eh",
         {{}, {}, std::pair<bool, uint8_t>{true, 0x04}},
         WB,
         0x0E,
         64,
         65536,
         nullptr},
        {"segments on a 2^12 boundary",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{12, 0}},
         WB,
         0x0E,
         64,
         70000,
         nullptr},
        {"segments off a 2^16 boundary",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{16, 0}},
         WB,
         0x0E,
         64,
         70000,
         "the READ BUFFER descriptor states an offset boundary of 2^16 bytes; the run sends "
         "segments of 32768 bytes"},
        {"one command on a 2^16 boundary",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{16, 0}},
         WB,
         0x0E,
         64,
         4096,
         nullptr},
        {"offset 0 only",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{0xFF, 0}},
         WB,
         0x07,
         64,
         70000,
         "the READ BUFFER descriptor states that only offset 0 is supported (offset boundary "
         "0xff); the run sends 3 commands, the second at offset 32768"},
        {"image over the buffer",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{0, 65536}},
         WB,
         0x0E,
         64,
         70000,
         "the READ BUFFER descriptor states a buffer of 65536 bytes; the image is 70000 bytes"},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.what);
        PlannedDownload p{row.sender, row.code, {}, row.length};
        p.sizes = row.sender == ATA
                      ? ata_download_sizes(row.code, row.blocks, row.length)
                      : write_buffer_sizes(row.code, static_cast<uint8_t>(row.blocks), row.length);
        std::vector<std::string> got = check_download(statements_of(row.answers), p);
        std::vector<std::string> want;
        if (row.refusal != nullptr) {
            want.emplace_back(row.refusal);
        }
        EXPECT_EQ(got, want);
    }
}

TEST(Preflight, ExtendedInquiryWithinItsPageLength) {
    uint8_t page[96] = {0x00, 0x86, 0x00, 0x08, 0x80};
    page[12] = 0x10;
    page[19] = 0x04; // beyond the page length of 8: not stated
    DriveStatements s;
    parse_extended_inquiry(page, sizeof page, s);
    EXPECT_EQ(s.activate_microcode, 2);
    EXPECT_FALSE(s.download_modes.has_value());
    page[1] = 0x80; // another page: nothing at all
    DriveStatements none;
    parse_extended_inquiry(page, sizeof page, none);
    EXPECT_FALSE(none.activate_microcode.has_value());
}

TEST(Preflight, StagingSegmentSize) {
    const struct {
        const char *what;
        Answers answers;
        DownloadSender sender;
        uint32_t length;
        uint16_t blocks;
    } table[] = {
        {"ATA, nothing stated", {}, ATA, 65536, 64},
        {"ATA, the log's maximum", {{}, 0x8000000400800001}, ATA, 65536, 128},
        {"ATA, a minimum above 64", {{}, 0x8000000400000064}, ATA, 65536, 100},
        {"WRITE BUFFER, nothing stated", {}, WB, 65536, 64},
        {"WRITE BUFFER, a 2^16 boundary",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{16, 0}},
         WB,
         65536,
         128},
        {"WRITE BUFFER, a 2^17 boundary no count holds",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{17, 0}},
         WB,
         65536,
         64},
        {"WRITE BUFFER, offset 0 only",
         {{}, {}, {}, std::pair<uint8_t, uint32_t>{0xFF, 0}},
         WB,
         10000,
         20},
    };
    for (const auto &row : table) {
        EXPECT_EQ(stage_segment_blocks(statements_of(row.answers), row.sender, row.length),
                  row.blocks)
            << row.what;
    }
}

} // namespace
