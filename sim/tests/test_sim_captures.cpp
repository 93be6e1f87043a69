// The model against the real stack's answers, byte for byte.
#include <gtest/gtest.h>

#include "drive.h"
#include "sim_test_util.h"

namespace {

struct CaptureCase {
    const char *file;
    Drive (*drive)();
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const CaptureCase &c, std::ostream *os) {
    *os << c.file;
}

class CaptureTest : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(CaptureTest, AnswersAsTheStackDid) {
    const CaptureCase &p = GetParam();
    Capture c = load_capture(p.file);
    Bay bay;
    bay.drives.push_back(p.drive());
    // The data-out captures sent bytes that are no image.
    std::vector<uint8_t> out;
    if (c.direction == k_dxfer_to_dev)
        out.assign(c.length, 0);
    Answer a = run_one(bay, 0, c.cdb, c.direction, c.length, out);
    ASSERT_EQ(a.io_errno, 0);
    EXPECT_EQ(a.status, c.status);
    EXPECT_EQ(masked_status_of(a), c.masked_status);
    EXPECT_EQ(a.host_status, c.host_status);
    EXPECT_EQ(a.driver_status, c.driver_status);
    EXPECT_EQ(static_cast<int>(info_of(a)), c.info);
    EXPECT_EQ(a.resid, c.resid);
    EXPECT_EQ(static_cast<int>(a.sense.size()), c.sb_len_wr);
    EXPECT_EQ(a.sense, c.sense);
    if (!c.data.empty()) {
        ASSERT_TRUE(a.writes_data);
        EXPECT_EQ(a.data, c.data);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Captures, CaptureTest,
    ::testing::Values(CaptureCase{"inquiry_std_sg0.hex", capture_sata_drive},
                      CaptureCase{"inquiry_vpd80_sg0.hex", capture_sata_drive},
                      CaptureCase{"identify_ckcond_sg0.hex", capture_sata_drive},
                      CaptureCase{"fwreq_dotted_sg0.hex", capture_sata_drive},
                      CaptureCase{"fwreq_plain_sg0.hex", capture_sata_drive},
                      CaptureCase{"dlmc07_abort_sg0.hex", capture_sata_drive},
                      CaptureCase{"wb05_libata_sg0.hex", capture_sata_drive},
                      CaptureCase{"inquiry_vpd86_sg0.hex", capture_sata_drive},
                      CaptureCase{"dlmc0e_abort_sg0.hex", capture_sata_drive},
                      CaptureCase{"dlmc0f_abort_sg0.hex", capture_sata_drive},
                      CaptureCase{"read_log_30_03_abort_sg0.hex", capture_sata_drive},
                      CaptureCase{"inquiry_vpd86_sg1.hex", capture_scsi_hd_drive},
                      CaptureCase{"inquiry_vpd86_sg2.hex", capture_scsi_debug_drive},
                      CaptureCase{"read_buffer_desc_sg2.hex", capture_scsi_debug_drive},
                      CaptureCase{"wb0e_ok_sg2.hex", capture_scsi_debug_drive},
                      CaptureCase{"wb0f_ok_sg2.hex", capture_scsi_debug_drive},
                      CaptureCase{"inquiry_std_sg1.hex", capture_scsi_hd_drive},
                      CaptureCase{"inquiry_vpd80_sg1.hex", capture_scsi_hd_drive},
                      CaptureCase{"identify_on_scsi_sg1.hex", capture_scsi_hd_drive},
                      CaptureCase{"inquiry_std_sg2.hex", capture_scsi_debug_drive},
                      CaptureCase{"inquiry_vpd80_sg2.hex", capture_scsi_debug_drive},
                      CaptureCase{"wb05_ok_sg2.hex", capture_scsi_debug_drive}),
    [](const auto &info) {
        std::string n = info.param.file;
        return n.substr(0, n.find('.'));
    });

// scsi_debug answers the command after an accepted WRITE BUFFER 05h with UNIT ATTENTION
// 3Fh/16h, once; INQUIRY is not held up by it.
TEST(CaptureSequence, UnitAttentionAfterMicrocodeOnce) {
    Capture wb = load_capture("wb05_ok_sg2.hex");
    Capture tur = load_capture("tur_ua_sg2.hex");
    Bay bay;
    bay.drives.push_back(capture_scsi_debug_drive());
    std::vector<uint8_t> img(wb.length, 0x5a);
    ASSERT_EQ(run_one(bay, 0, wb.cdb, k_dxfer_to_dev, wb.length, img).status, 0);
    Answer inq = run_one(bay, 0, hex("12 00 00 00 60 00"), k_dxfer_from_dev, 96);
    EXPECT_EQ(inq.status, 0);
    Answer a = run_one(bay, 0, tur.cdb, k_dxfer_none, 0);
    EXPECT_EQ(a.status, tur.status);
    EXPECT_EQ(a.driver_status, tur.driver_status);
    EXPECT_EQ(a.sense, tur.sense);
    EXPECT_EQ(run_one(bay, 0, tur.cdb, k_dxfer_none, 0).status, 0);
}

} // namespace
