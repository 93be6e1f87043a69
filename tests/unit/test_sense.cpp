// Sense decoding against the layouts the Linux stack writes, and against hostile lengths.
#include "sg/sense.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr uint8_t OP_INQUIRY = 0x12;
constexpr uint8_t OP_WRITE_BUFFER = 0x3B;
constexpr uint8_t OP_ATA_12 = 0xA1;
constexpr uint8_t OP_ATA_16 = 0x85;

struct SenseCase {
    const char *name;
    std::vector<uint8_t> bytes;
    size_t len; // as sb_len_wr says; SIZE_MAX: the vector's size
    uint8_t opcode;
    bool has_key;
    uint8_t key, asc, ascq;
    bool has_ata;
    uint8_t error, status, device, count;
};

SenseFields decode(const SenseCase &c) {
    size_t len = c.len == SIZE_MAX ? c.bytes.size() : c.len;
    return decode_sense(c.bytes.data(), len, c.opcode);
}

std::vector<uint8_t> fixed_with_descriptor_at_18() {
    // Fixed sense, additional length 18h, then an ATA Status Return descriptor at byte 18.
    std::vector<uint8_t> b(32, 0);
    b[0] = 0x70;
    b[2] = 0x01;
    b[7] = 0x18;
    b[12] = 0x00;
    b[13] = 0x1D;
    b[18] = 0x09;
    b[19] = 0x0C;
    b[21] = 0x04; // error
    b[23] = 0x07; // count
    b[30] = 0xE0; // device
    b[31] = 0x51; // status
    return b;
}

const SenseCase sense_cases[] = {
    {"descriptor_ata_return_from_the_worked_example",
     {0x72, 0x01, 0x00, 0x1D, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x0C, 0x00,
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x51},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0x1,
     0x00,
     0x1D,
     true,
     0x04,
     0x51,
     0x40,
     0x00},
    {"linux_6_1_ck_cond_success",
     {0x72, 0x01, 0x00, 0x1d, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00,
      0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x50},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0x1,
     0x00,
     0x1D,
     true,
     0x00,
     0x50,
     0x40,
     0x01},
    {"linux_6_1_aborted_download_fixed_registers_at_8",
     {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0xB,
     0x00,
     0x00,
     true,
     0x04,
     0x41,
     0x00,
     0x01},
    {"captured_dlmc07_abort",
     {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x08, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0xB,
     0x00,
     0x00,
     true,
     0x04,
     0x41,
     0x00,
     0x08},
    {"same_bytes_on_ata_16",
     {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_16,
     true,
     0xB,
     0x00,
     0x00,
     true,
     0x04,
     0x41,
     0x00,
     0x01},
    {"pre_6_11_layout_is_not_read_for_other_commands",
     {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x01, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_WRITE_BUFFER,
     true,
     0xB,
     0x00,
     0x00,
     false,
     0,
     0,
     0,
     0},
    {"captured_identify_ck_cond_status_58",
     {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x58, 0x40, 0x01, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0xB,
     0x00,
     0x00,
     true,
     0x00,
     0x58,
     0x40,
     0x01},
    {"sat_layout_valid_bit_registers_at_3",
     {0xF0, 0x00, 0x0b, 0x04, 0x51, 0x40, 0x01, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0xB,
     0x00,
     0x00,
     true,
     0x04,
     0x51,
     0x40,
     0x01},
    {"sat_layout_by_ascq_1d",
     {0x70, 0x00, 0x01, 0x00, 0x50, 0x40, 0x01, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1D, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0x1,
     0x00,
     0x1D,
     true,
     0x00,
     0x50,
     0x40,
     0x01},
    {"d_sense_aborted_command",
     {0x72, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x00, 0x0e, 0x09, 0x0c, 0x00,
      0x04, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x41},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0xB,
     0x00,
     0x00,
     true,
     0x04,
     0x41,
     0x00,
     0x01},
    {"pass_through_to_scsi_drive_has_no_registers",
     {0x70, 0x00, 0x05, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0x5,
     0x20,
     0x00,
     false,
     0,
     0,
     0,
     0},
    {"unit_attention_microcode_changed",
     {0x70, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x3f, 0x16, 0x00,
      0x00, 0x00, 0x00},
     SIZE_MAX,
     OP_WRITE_BUFFER,
     true,
     0x6,
     0x3F,
     0x16,
     false,
     0,
     0,
     0,
     0},
    {"valid_bit_f1_is_decoded_as_fixed",
     {0xF1, 0x00, 0x25, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00, 0x00, 0x00, 0x00, 0x26, 0x00},
     SIZE_MAX,
     OP_WRITE_BUFFER,
     true,
     0x5,
     0x26,
     0x00,
     false,
     0,
     0,
     0,
     0},
    {"descriptor_with_other_first_descriptor",
     {0x72, 0x03, 0x11, 0x00, 0x00, 0x00, 0x00, 0x0c, 0x00, 0x0a,
      0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x12, 0x34},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0x3,
     0x11,
     0x00,
     false,
     0,
     0,
     0,
     0},
    {"additional_length_zero_never_yields_registers",
     {0x72, 0x01, 0x00, 0x1D, 0x00, 0x00, 0x00, 0x00, 0x09, 0x0C, 0x00,
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x51},
     SIZE_MAX,
     OP_ATA_12,
     true,
     0x1,
     0x00,
     0x1D,
     false,
     0,
     0,
     0,
     0},
    {"fixed_with_descriptor_behind_the_fixed_part", fixed_with_descriptor_at_18(), SIZE_MAX,
     OP_ATA_12, true, 0x1, 0x00, 0x1D, true, 0x04, 0x51, 0xE0, 0x07},
    {"descriptor_cut_short_by_the_driver_is_not_trusted",
     {0x72, 0x01, 0x00, 0x1D, 0x00, 0x00, 0x00, 0x0E, 0x09, 0x0C, 0x00,
      0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x51},
     14,
     OP_ATA_12,
     true,
     0x1,
     0x00,
     0x1D,
     false,
     0,
     0,
     0,
     0},
    {"bytes_past_the_written_length_read_as_zero",
     {0x70, 0x00, 0x0b, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x04, 0x41, 0x00, 0x01, 0x20, 0x00, 0x00,
      0x00, 0x00, 0x00},
     8,
     OP_ATA_12,
     true,
     0xB,
     0x00,
     0x00,
     false,
     0,
     0,
     0,
     0},
    {"unknown_response_code_decodes_nothing",
     {0x7F, 0x05, 0x24, 0x00, 0x00, 0x00, 0x00, 0x0a},
     SIZE_MAX,
     OP_INQUIRY,
     false,
     0,
     0,
     0,
     false,
     0,
     0,
     0,
     0},
};

class SenseLayouts : public testing::TestWithParam<SenseCase> {};

TEST_P(SenseLayouts, DecodesKeyAndRegisters) {
    const SenseCase &c = GetParam();
    SenseFields f = decode(c);
    EXPECT_EQ(f.response_code, c.bytes[0]);
    EXPECT_EQ(f.has_key, c.has_key);
    if (c.has_key) {
        EXPECT_EQ(f.sense_key, c.key);
        EXPECT_EQ(f.asc, c.asc);
        EXPECT_EQ(f.ascq, c.ascq);
    }
    ASSERT_EQ(f.has_ata, c.has_ata);
    if (c.has_ata) {
        EXPECT_EQ(f.ata.error, c.error);
        EXPECT_EQ(f.ata.status, c.status);
        EXPECT_EQ(f.ata.device, c.device);
        EXPECT_EQ(f.ata.count, c.count);
    }
}

INSTANTIATE_TEST_SUITE_P(Linux, SenseLayouts, testing::ValuesIn(sense_cases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SenseBounds, ClaimedLengthBeyondTheAreaReadsOnlyThirtyTwoBytes) {
    // A driver (or a bridge) that claims more sense bytes than the area holds: the decoder
    // reads the 32-byte area and nothing behind it (the sanitizer build catches an overread).
    auto area = std::make_unique<uint8_t[]>(32);
    memset(area.get(), 0, 32);
    area[0] = 0x72;
    area[1] = 0x0B;
    area[7] = 0x0E;
    area[8] = 0x09;
    area[9] = 0x0C;
    area[11] = 0x04;
    area[21] = 0x41;
    SenseFields f = decode_sense(area.get(), 255, OP_ATA_12);
    EXPECT_EQ(f.sense_key, 0xB);
    ASSERT_TRUE(f.has_ata);
    EXPECT_EQ(f.ata.error, 0x04);
    EXPECT_EQ(f.ata.status, 0x41);
}

// Each layout's registers are taken only when the driver wrote every byte of them; a
// response code outside 70h-73h has no key.
TEST(SenseBounds, RegistersOnlyWhenTheirLayoutArrivedWhole) {
    const std::vector<uint8_t> sat = {0xF0, 0x00, 0x0b, 0x04, 0x51, 0x40, 0x01, 0x0a},
                               pre_6_11 = {0x70, 0, 0x0b, 0, 0, 0, 0, 0x0a, 0x04, 0x41, 0, 0x01};
    std::vector<uint8_t> sat_0c_at_19 = sat;
    sat_0c_at_19.resize(20);
    sat_0c_at_19[19] = 0x0C; // no descriptor: byte 18 is not 09h
    const struct {
        std::vector<uint8_t> bytes;
        size_t len;
        bool has_key, has_ata;
    } table[] = {
        {sat, 7, true, true},
        {sat, 6, true, false},
        {sat_0c_at_19, 20, true, true},
        {pre_6_11, 12, true, true},
        {pre_6_11, 11, true, false},
        {sense_cases[0].bytes, 21, true, false},
        {fixed_with_descriptor_at_18(), 31, true, false},
        {{0x6F, 0x00, 0x05}, 3, false, false},
        {{0x74, 0x05}, 2, false, false},
    };
    for (const auto &row : table) {
        SenseFields f = decode_sense(row.bytes.data(), row.len, OP_ATA_12);
        EXPECT_EQ(f.has_key, row.has_key) << int{row.bytes[0]} << " " << row.len;
        EXPECT_EQ(f.has_ata, row.has_ata) << int{row.bytes[0]} << " " << row.len;
    }
}

TEST(SenseBounds, NothingWrittenDecodesNothing) {
    uint8_t b[32];
    memset(b, 0x72, sizeof b);
    SenseFields f = decode_sense(b, 0, OP_ATA_12);
    EXPECT_EQ(f.response_code, 0);
    EXPECT_FALSE(f.has_key);
    EXPECT_FALSE(f.has_ata);
    EXPECT_FALSE(decode_sense(nullptr, 18, OP_ATA_12).has_key); // no area, whatever the length
}

TEST(SenseOpcodes, PassThroughOpcodes) {
    EXPECT_TRUE(is_ata_pass_through_opcode(0xA1));
    EXPECT_TRUE(is_ata_pass_through_opcode(0x85));
    EXPECT_FALSE(is_ata_pass_through_opcode(0x3B));
    EXPECT_FALSE(is_ata_pass_through_opcode(0x12));
}

} // namespace
