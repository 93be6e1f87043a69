// The drive's statements read from its answers, and the check of a planned download against
// them: one table over both methods, stated and not stated, inside and outside the limits,
// the validity bits; the segment size a staging run chooses.
#include "download/statements.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace {

struct Answers {
    std::vector<std::pair<int, uint16_t>> words = {}; // IDENTIFY words (the others 0)
    std::optional<uint64_t> log = {};     // capabilities quadword of an answered log page
    std::optional<uint8_t> dm_md = {};    // page 86h with DMS_VALID and these DM_MD bits
    std::optional<uint8_t> boundary = {}; // READ BUFFER descriptor
    uint32_t capacity = 0;
};

// The answers as the drive would give them, read as the run reads them.
DriveStatements statements_of(const Answers &a) {
    DriveStatements s;
    uint8_t id[512] = {}, log[512] = {0x01, 0x00, 0x03}, ei[96] = {0x00, 0x86, 0x00, 0x3C};
    for (auto [word, value] : a.words) {
        id[2 * word] = static_cast<uint8_t>(value);
        id[2 * word + 1] = static_cast<uint8_t>(value >> 8);
    }
    for (int i = 0; i < 8; ++i) {
        log[16 + i] = static_cast<uint8_t>(a.log.value_or(0) >> (8 * i));
    }
    ei[12] = 0x10;
    ei[19] = a.dm_md.value_or(0);
    uint8_t desc[4] = {a.boundary.value_or(0), static_cast<uint8_t>(a.capacity >> 16),
                       static_cast<uint8_t>(a.capacity >> 8), static_cast<uint8_t>(a.capacity)};
    s.identify = parse_identify_statements(id);
    if (a.log) {
        s.log = parse_capabilities_page(log);
    }
    if (a.dm_md) {
        s.extended_inquiry = parse_extended_inquiry(ei, sizeof ei);
    }
    if (a.boundary) {
        s.read_buffer = parse_read_buffer_descriptor(desc);
    }
    return s;
}

constexpr DownloadSender ATA = SENDER_ATA_PASSTHROUGH;
constexpr DownloadSender WB = SENDER_WRITE_BUFFER;

DownloadPlan ata(uint8_t code, uint16_t blocks, uint32_t length) {
    return plan_download(method_for_code(ATA, code), blocks, length);
}

DownloadPlan wb(uint8_t code, uint8_t blocks, uint32_t length) {
    return plan_download(method_for_code(WB, code), blocks, length);
}

// Each refusal is one line that names the drive's statement and the run's value.
TEST(Preflight, ChecksAgainstWhatTheDriveStates) {
    const struct {
        const char *what;
        Answers said;
        DownloadPlan plan;
        const char *statement = nullptr; // nullptr: nothing refused
        const char *value = nullptr;
    } table[] = {
        {"83 states support", {.words = {{83, 0x7401}}}, ata(0x07, 0, 4096)},
        {"83 states none", {.words = {{83, 0x7400}}}, ata(0x07, 0, 4096), "word 83", "0x07"},
        {"83 not valid", {.words = {{83, 0x3400}}}, ata(0x07, 0, 4096)},
        {"119: no 03h", {.words = {{86, 0xB401}, {119, 0x4000}}}, ata(3, 8, 8192), "119", "0x03"},
        {"119 void by 86", {.words = {{86, 0x3401}, {119, 0x4000}}}, ata(3, 8, 8192)},
        {"119 void by 15:14", {.words = {{86, 0xB401}, {119, 0}}}, ata(3, 8, 8192)},
        {"under 234", {.words = {{234, 8}}}, ata(3, 4, 8192), "234 states at least 8", "of 4"},
        {"at 234", {.words = {{234, 8}}}, ata(3, 8, 8192)},
        {"one piece under 234", {.words = {{234, 8}}}, ata(3, 4, 1024)},
        {"last piece under 234", {.words = {{234, 8}}}, ata(3, 64, 2048)},
        {"over 235", {.words = {{235, 16}}}, ata(3, 32, 65536), "235 states at most 16", "32"},
        {"235 FFFFh", {.words = {{235, 0xFFFF}}}, ata(3, 32, 65536)},
        {"no log", {}, ata(0x0E, 64, 65536), "log (30h, page 03h) could not", "with 0x0e"},
        {"log: no 0Eh", {.log = 1ull << 63}, ata(0x0E, 64, 65536), "(deferred) is not", "0x0e"},
        {"log not valid", {.log = 0}, ata(0x0E, 64, 65536)},
        {"over the log", {.log = 0x8000000400100000}, ata(0x0E, 32, 65536), "at most 16", "32"},
        {"235, 0Eh", {{{235, 16}}, 0x8000000400000000}, ata(0x0E, 32, 65536)},
        {"83, WRITE BUFFER", {.words = {{83, 0x7400}}}, wb(0x07, 64, 65536)},
        {"86h: 05h 07h", {.dm_md = 0x50}, wb(0x0E, 64, 65536), "modes 0x05 0x07", "mode 0x0e"},
        {"86h: 0Eh 0Fh", {.dm_md = 0x06}, wb(0x0E, 64, 65536)},
        {"86h: 0Eh, no 0Fh", {.dm_md = 0x04}, wb(0x0E, 64, 65536), "no way to activate", "0x0e"},
        {"on 2^12", {.boundary = 12}, wb(0x0E, 64, 70000)},
        {"off 2^16", {.boundary = 16}, wb(0x0E, 64, 70000), "2^16 bytes", "of 32768 bytes"},
        {"one command, 2^16", {.boundary = 16}, wb(0x0E, 64, 4096)},
        {"two commands, 2^16", {.boundary = 16}, wb(0x0E, 64, 40000), "2^16", "of 32768 bytes"},
        {"2^32", {.boundary = 32}, wb(0x0E, 64, 70000), "2^32 bytes", "of 32768 bytes"},
        {"offset 0 only", {.boundary = 0xFF}, wb(7, 64, 70000), "only offset 0", "offset 32768"},
        {"over the buffer",
         {.boundary = 0, .capacity = 65536},
         wb(14, 64, 70000),
         "65536",
         "70000"},
        {"the buffer exactly", {.boundary = 0, .capacity = 65536}, wb(14, 64, 65536)},
    };
    for (const auto &row : table) {
        SCOPED_TRACE(row.what);
        std::vector<std::string> got = check_download(statements_of(row.said), row.plan);
        if (row.statement == nullptr) {
            EXPECT_TRUE(got.empty()) << got.front();
            continue;
        }
        ASSERT_EQ(got.size(), 1u);
        EXPECT_NE(got[0].find(row.statement), std::string::npos) << got[0];
        EXPECT_NE(got[0].find(row.value), std::string::npos) << got[0];
    }
}

// The page's fields count within its page length, and only on page 86h.
TEST(Preflight, ExtendedInquiryWithinItsPageLength) {
    const struct {
        uint8_t code, length, byte4; // byte 4: ACTIVATE_MICROCODE in bits 7:6
        std::optional<uint8_t> activate, modes;
    } table[] = {
        {0x86, 0x08, 0x80, 2, {}},  {0x86, 0x0F, 0x80, 2, {}},    {0x86, 0x10, 0x40, 1, 0x04},
        {0x86, 0x00, 0x80, {}, {}}, {0x86, 0x10, 0x00, {}, 0x04}, {0x83, 0x3C, 0x80, {}, {}},
    };
    for (const auto &row : table) {
        uint8_t page[96] = {0x00, row.code, 0x00, row.length, row.byte4};
        page[12] = 0x10;
        page[19] = 0x04;
        ExtendedInquiry s = parse_extended_inquiry(page, sizeof page);
        EXPECT_EQ(s.activate_microcode, row.activate) << int{row.code} << " " << int{row.length};
        EXPECT_EQ(s.download_modes, row.modes) << int{row.code} << " " << int{row.length};
    }
}

TEST(Preflight, StagingSegmentSize) {
    const struct {
        Answers said;
        DownloadSender sender;
        uint32_t length;
        uint16_t blocks;
    } table[] = {
        {{}, ATA, 65536, 64},
        {{.log = 0x8000000400800001}, ATA, 65536, 128}, // the log's maximum
        {{.log = 0x8000000400000064}, ATA, 65536, 100}, // its minimum, above 64
        {{.log = 0x8000000400000008}, ATA, 65536, 64},  // not below 64
        {{}, WB, 65536, 64},
        {{.boundary = 16}, WB, 65536, 128},
        // 256 blocks: more than a segment count holds; the image goes in one command.
        {{.boundary = 17}, WB, 65536, 128},
        {{.boundary = 17, .capacity = 32768}, WB, 65536, 64}, // unless the buffer is smaller
        {{.boundary = 0xFF}, WB, 10000, 20},
        {{.boundary = 0xFF}, WB, 255 * 512, 255}, // the most a segment count holds
        {{.boundary = 12}, WB, 65536, 64},        // finer than 64 blocks: 64
        {{.boundary = 31}, WB, 65536, 128},
        {{.boundary = 32}, WB, 65536, 64}, // no step a 32-bit offset can take
        {{.boundary = 17, .capacity = 65536}, WB, 65536, 128},
    };
    for (const auto &row : table) {
        EXPECT_EQ(stage_segment_blocks(statements_of(row.said), row.sender, row.length), row.blocks)
            << row.length << " " << row.sender;
    }
}

} // namespace
