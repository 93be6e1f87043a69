// The answers other clients read (VPD pages, REQUEST SENSE, READ CAPACITY, MODE SENSE, LOG
// SENSE, SMART, the log directory) against the real stack's bytes, read with sg_raw from the
// three drives of the real-stack tier; and the IDENTIFY data of a generic drive.
#include <gtest/gtest.h>

#include "drive_exec.h"
#include "sim_test_util.h"

namespace {

struct TargetCase {
    const char *name;
    Drive (*drive)();
    const char *cdb;
    uint32_t length;
    uint8_t status;
    const char *sense; // the whole sense
    const char *data;  // the first bytes of the data-in buffer
    int32_t resid;
};

void PrintTo(const TargetCase &c, std::ostream *os) {
    *os << c.name;
}

class TargetAnswers : public ::testing::TestWithParam<TargetCase> {};

TEST_P(TargetAnswers, AsTheRealStack) {
    const TargetCase &p = GetParam();
    Bay bay;
    bay.drives.push_back(p.drive());
    Answer a =
        run_one(bay, 0, hex(p.cdb), p.length == 0 ? k_dxfer_none : k_dxfer_from_dev, p.length);
    EXPECT_EQ(a.status, p.status);
    EXPECT_EQ(a.sense, hex(p.sense));
    std::vector<uint8_t> want = hex(p.data);
    ASSERT_GE(a.data.size(), want.size());
    EXPECT_EQ(std::vector<uint8_t>(a.data.begin(), a.data.begin() + want.size()), want);
    EXPECT_EQ(a.resid, p.resid);
}

const char *k_abort_41 = "70 00 0b 00 00 00 00 0a 04 41 00 01 00 00 00 00 00 00";
const char *k_invalid_field = "70 00 05 00 00 00 00 0a 00 00 00 00 24 00 00 00 00 00";

INSTANTIATE_TEST_SUITE_P(
    RealStack, TargetAnswers,
    ::testing::Values(
        TargetCase{"vpd00_libata", capture_sata_drive, "12 01 00 00 fc 00", 252, 0, "",
                   "00 00 00 08 00 80 83 89 b0 b1 b2 b9", 0},
        TargetCase{"vpd00_qemu", capture_scsi_hd_drive, "12 01 00 00 fc 00", 252, 0, "",
                   "00 00 00 06 00 80 83 b0 b1 b2", 0},
        TargetCase{"vpd00_sdebug", capture_scsi_debug_drive, "12 01 00 00 fc 00", 252, 0, "",
                   "00 00 00 0c 00 80 83 84 85 86 87 88 89 b0 b1 b2", 236},
        TargetCase{"vpd83_libata", capture_sata_drive, "12 01 83 00 fc 00", 252, 0, "",
                   "00 83 00 60 02 00 00 14 20 20 20 51 53 37 58 30 30 34 32 5a 39 20 20 20 20 20 "
                   "20 20 02 01 00 44 41 54 41 20 20 20 20 20 51 53 54 4f 52",
                   0},
        TargetCase{"vpd83_qemu", capture_scsi_hd_drive, "12 01 83 00 fc 00", 252, 0, "",
                   "00 83 00 10 02 00 00 0c 4e 56 30 30 30 30 37 37 37 31 32 33 00", 0},
        TargetCase{"vpd83_sdebug", capture_scsi_debug_drive, "12 01 83 00 fc 00", 252, 0, "",
                   "00 83 00 71 02 01 00 1d 4c 69 6e 75 78 20 20 20 73 63 73 69 5f 64 65 62 75 67 "
                   "20 20 20 20 20 20 31 36 30 30 30 01 03 00 08 33 33 33 30 00 00 3e 80 61 94 00 "
                   "04 00 00 00 01 61 93 00 08 32 22 22 20 00 00 3e 7e 61 95 00 04 00 00 08 00 61 "
                   "a3 00 08 32 22 22 20 00 00 3e 7d 63 a8 00 18 6e 61 61 2e 33 32 32 32 32 32 32 "
                   "30 30 30 30 30 33 45 37 44 00 00 00 00",
                   135},
        TargetCase{"vpd89_libata", capture_sata_drive, "12 01 89 04 00 00", 1024, 0, "",
                   "00 89 02 38 00 00 00 00 6c 69 6e 75 78 20 20 20 6c 69 62 61 74 61 20 20 20 20 "
                   "20 20 20 20 20 20 33 2e 30 30 34 80 40 00 01 00 00 00 00 00 00 00 01 00 00 00 "
                   "00 00 00 00 ec 00 00 00 40 00 20 00",
                   0},
        TargetCase{"vpdb9_libata", capture_sata_drive, "12 01 b9 00 fc 00", 252, 2,
                   "70 00 05 00 00 00 00 12 00 00 00 00 24 00 00 c0 00 02 00 00 00 00 00 00 00 00",
                   "00", 0},
        TargetCase{"inquiry36_qemu", capture_scsi_hd_drive, "12 00 00 00 24 00", 36, 0, "",
                   "00 00 05 12 1f", 0},
        TargetCase{"request_sense_libata", capture_sata_drive, "03 00 00 00 fc 00", 252, 2,
                   "70 00 00 00 00 00 00 0a 00 00 00 00 00 00 00 00 00 00", "00", 0},
        TargetCase{"request_sense_sdebug", capture_scsi_debug_drive, "03 00 00 00 fc 00", 252, 0,
                   "", "70 00 00 00 00 00 00 0a 00 00 00 00 00 00 00 00 00 00", 234},
        TargetCase{"request_sense_desc_sdebug", capture_scsi_debug_drive, "03 01 00 00 fc 00", 252,
                   0, "", "72 00 00 00 00 00 00 00", 244},
        TargetCase{"capacity10_sdebug", capture_scsi_debug_drive, "25 00 00 00 00 00 00 00 00 00",
                   8, 0, "", "00 00 1f ff 00 00 02 00", 0},
        TargetCase{"capacity16_qemu", capture_scsi_hd_drive,
                   "9e 10 00 00 00 00 00 00 00 00 00 00 00 20 00 00", 32, 0, "",
                   "00 00 00 00 00 00 7f ff 00 00 02 00 00 00 80 00", 0},
        TargetCase{"capacity16_libata", capture_sata_drive,
                   "9e 10 00 00 00 00 00 00 00 00 00 00 00 20 00 00", 32, 0, "",
                   "00 00 00 00 00 00 7f ff 00 00 02 00 00 00 80 00", 0},
        TargetCase{"mode6_caching_sdebug", capture_scsi_debug_drive, "1a 00 08 00 fc 00", 252, 0,
                   "",
                   "1f 00 10 08 00 00 20 00 00 00 02 00 08 12 14 00 ff ff 00 00 ff ff ff ff 80 14 "
                   "00 00 00 00 00 00",
                   220},
        TargetCase{"mode6_control_qemu", capture_scsi_hd_drive, "1a 00 0a 00 fc 00", 252, 2,
                   k_invalid_field, "00", 0},
        TargetCase{"mode6_saved_sdebug", capture_scsi_debug_drive, "1a 00 c8 00 fc 00", 252, 2,
                   "70 00 05 00 00 00 00 0a 00 00 00 00 39 00 00 00 00 00", "00", 0},
        TargetCase{"mode10_all_libata", capture_sata_drive, "5a 00 3f 00 00 00 00 04 00 00", 1024,
                   0, "",
                   "00 3a 00 00 00 00 00 08 00 00 00 00 00 00 02 00 01 0a 80 00 00 00 00 00 00 00 "
                   "00 00 08 12 04 00 00 00 00 00 00 00 00 00 20 00 00 00 00 00 00 00 0a 0a 02 00 "
                   "00 00 00 00 ff ff 00 1e 00",
                   0},
        TargetCase{"log_pages_sdebug", capture_scsi_debug_drive, "4d 00 40 00 00 00 00 00 fc 00",
                   252, 0, "", "00 00 00 03 00 0d 2f", 245},
        TargetCase{"log_pages_qemu", capture_scsi_hd_drive, "4d 00 40 00 00 00 00 00 fc 00", 252, 2,
                   "70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00", "00", 0},
        // QEMU ends PIO data-in with DRQ set: an error only where CK_COND asks for the registers.
        TargetCase{"identify_no_ck_cond_qemu", capture_sata_drive,
                   "85 08 0e 00 00 00 01 00 00 00 00 00 00 40 ec 00", 512, 0, "", "40 00 20 00", 0},
        TargetCase{"smart_read_data_qemu", capture_sata_drive,
                   "85 08 0e 00 d0 00 01 00 00 00 4f 00 c2 00 b0 00", 512, 0, "",
                   "01 00 01 03 00 64 64", 0},
        TargetCase{"smart_return_status_qemu", capture_sata_drive,
                   "85 06 2c 00 da 00 00 00 00 00 4f 00 c2 00 b0 00", 0, 2,
                   "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 00 00 00 00 4f 00 c2 00 50", "", 0},
        TargetCase{"smart_log_directory_qemu", capture_sata_drive,
                   "85 08 2e 00 d5 00 01 00 00 00 4f 00 c2 00 b0 00", 512, 2, k_abort_41, "00", 0},
        TargetCase{"smart_no_signature_qemu", capture_sata_drive,
                   "85 08 0e 00 d0 00 01 00 00 00 00 00 00 00 b0 00", 512, 2, k_abort_41, "00", 0}),
    [](const auto &info) { return std::string(info.param.name); });

// A generic drive's IDENTIFY data: the integrity word (signature A5h, the bytes summing to 0)
// and the WWN in words 108-111 with word 87 bit 8; the log directory lists log 30h.
TEST(GenericIdentify, IntegrityWordWwnAndLogDirectory) {
    Drive d = capture_sata_drive();
    d.ata_flavor = AtaFlavor::generic;
    d.has_dm_log = true;
    d.has_wwn = true;
    d.wwn = 0x5000c500a1b2c3d4;
    std::vector<uint8_t> id = identify_data(d);
    uint8_t sum = 0;
    for (uint8_t b : id)
        sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(id[510], 0xa5);
    EXPECT_EQ(sum, 0);
    EXPECT_EQ(std::vector<uint8_t>(id.begin() + 216, id.begin() + 224),
              hex("00 50 00 c5 b2 a1 d4 c3"));
    EXPECT_EQ(id[175] & 0x01, 0x01);
    Bay bay;
    bay.drives.push_back(d);
    Answer dir = run_one(bay, 0, hex("85 09 0e 00 00 00 01 00 00 00 00 00 00 00 2f 00"),
                         k_dxfer_from_dev, 512);
    EXPECT_EQ(dir.data[0], 0x01);
    EXPECT_EQ(dir.data[size_t{2} * 0x30], 4);
}

} // namespace
