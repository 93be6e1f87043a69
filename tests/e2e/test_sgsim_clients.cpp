// Debian's sg3-utils, unchanged, against the simulated bay: what they print agrees with
// the bay file.
#include <gtest/gtest.h>

#include "scene.h"

namespace {

class Sg3Utils : public ::testing::Test {
  protected:
    void SetUp() override {
        if (sgsim_path().empty())
            GTEST_SKIP() << "sgsim is not built";
        if (!have_sg3_utils())
            GTEST_SKIP() << "sg3-utils is not installed (apt-get install sg3-utils)";
        bay = write_bay(mixed_bay_json());
    }
    std::string bay;
};

// IDENTIFY strings hold their characters pair-swapped.
std::string ata_string(const std::string &raw, size_t at, size_t len) {
    std::string s;
    for (size_t i = 0; i < len && at + i + 1 < raw.size(); i += 2) {
        s += raw[at + i + 1];
        s += raw[at + i];
    }
    return s;
}

TEST_F(Sg3Utils, InquiryOfEveryDrive) {
    struct Case {
        const char *node, *vendor, *product, *revision, *serial;
    } cases[] = {
        {"/dev/sg0", "ATA     ", "QSTOR ACME-7200 ", ".B07", "   QS7X0042Z9       "},
        {"/dev/sg1", "NORTHVL ", "NV-SAS10K       ", "N4R2", "NV0000777123"},
        {"/dev/sg10", "ATA     ", "HALCYON HD-4000 ", ".003", "HC4K00017           "},
        {"/dev/sg2", "Linux   ", "scsi_debug      ", "0191", "16000"},
        {"/dev/sg3", "ATA     ", "MERIDIAN MX500  ", "0101", "MX5-0001            "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.node);
        RunResult r = under_bay(bay, {"sg_inq", c.node});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find(std::string(" Vendor identification: ") + c.vendor + "\n"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find(std::string(" Product identification: ") + c.product + "\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find(std::string(" Product revision level: ") + c.revision + "\n"),
                  std::string::npos);
        EXPECT_NE(r.out.find(std::string(" Unit serial number: ") + c.serial + "\n"),
                  std::string::npos);
        RunResult v = under_bay(bay, {"sg_vpd", "-p", "sn", c.node});
        EXPECT_EQ(v.status, 0) << v.err;
        EXPECT_EQ(v.out, std::string("Unit serial number VPD page:\n  Unit serial number: ") +
                             c.serial + "\n");
    }
}

TEST_F(Sg3Utils, SatIdentifyTwelveAndSixteenBytes) {
    std::vector<std::vector<std::string>> variants = {
        {"sg_sat_identify", "-r", "/dev/sg0"},
        {"sg_sat_identify", "-r", "-l", "12", "/dev/sg0"},
        {"sg_sat_identify", "-r", "-c", "/dev/sg0"},
        {"sg_sat_identify", "-r", "-c", "-l", "12", "/dev/sg0"},
    };
    for (const auto &argv : variants) {
        SCOPED_TRACE(argv[2]);
        RunResult r = under_bay(bay, argv);
        EXPECT_EQ(r.status, 0) << r.err;
        ASSERT_EQ(r.out.size(), 512u);
        EXPECT_EQ(ata_string(r.out, 54, 40), "QSTOR ACME-7200 SATA HYBRID             ");
        EXPECT_EQ(ata_string(r.out, 46, 8), "QA12.B07");
        EXPECT_EQ(ata_string(r.out, 20, 20), "   QS7X0042Z9       ");
        EXPECT_EQ(static_cast<uint8_t>(r.out[275]), 0x50);
    }
    std::vector<std::string> lines = file_lines(bay.substr(0, bay.rfind('/')) + "/trace.jsonl");
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(R"("cdb":"85080e0000000100000000000000ec00")"), std::string::npos);
    EXPECT_NE(lines[3].find(R"("cdb":"a1082e000100000000ec0000")"), std::string::npos);
    EXPECT_NE(lines[3].find(R"("sense":"7201001d0000000e090c000000010000000000000050")"),
              std::string::npos);
}

// -c insists on descriptor sense: a SAT layer that reports the end of the transfer in fixed
// format (as QEMU's DRQ quirk makes Linux 6.1 do) is refused; -v shows the registers.
TEST_F(Sg3Utils, SatIdentifyCheckConditionNeedsDescriptorSense) {
    std::string quirky = write_bay(mixed_bay_json(R"({"pio_in_status": "0x58"})"_json));
    RunResult r = under_bay(quirky, {"sg_sat_identify", "-c", "-l", "12", "/dev/sg0"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("Aborted command"), std::string::npos) << r.err;
    RunResult scsi = under_bay(bay, {"sg_sat_identify", "/dev/sg1"});
    EXPECT_NE(scsi.status, 0);
    EXPECT_NE(scsi.err.find("Invalid opcode"), std::string::npos) << scsi.err;
}

TEST_F(Sg3Utils, RawCommandsDecodeAsTheKernelsWould) {
    RunResult r = under_bay(bay, {"sg_raw", "-r", "512", "/dev/sg1", "a1", "08", "2a", "00", "01",
                                  "00", "00", "00", "40", "ec", "00", "00"});
    EXPECT_NE(r.err.find("SCSI Status: Check Condition"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Fixed format, current; Sense key: Illegal Request\n"
                         "Additional sense: Invalid command operation code"),
              std::string::npos)
        << r.err;
    RunResult ck = under_bay(bay, {"sg_raw", "-r", "512", "/dev/sg3", "a1", "08", "2a", "0b", "01",
                                   "db", "97", "20", "40", "ec", "00", "00"});
    EXPECT_NE(ck.err.find("Descriptor format, current; Sense key: Recovered Error\n"
                          "Additional sense: ATA pass through information available"),
              std::string::npos)
        << ck.err;
    RunResult inq =
        under_bay(bay, {"sg_raw", "-r", "96", "/dev/sg2", "12", "01", "80", "00", "60", "00"});
    EXPECT_EQ(inq.status, 0) << inq.err;
    EXPECT_NE(inq.err.find("Received 9 bytes of data"), std::string::npos) << inq.err;
}

TEST_F(Sg3Utils, WriteBufferModesFiveAndSeven) {
    std::string dir = bay.substr(0, bay.rfind('/'));
    std::string img = dir + "/sd.img";
    RunResult mk = run_command({sgsim_path(), "mkimage", "--model", "scsi_debug", "--revision",
                                "0200", "--size", "70000", img});
    ASSERT_EQ(mk.status, 0) << mk.err;
    RunResult wb =
        under_bay(bay, {"sg_write_buffer", "-m", "7", "-b", "32768", "-I", img, "/dev/sg2"});
    EXPECT_EQ(wb.status, 0) << wb.err;
    std::vector<std::string> lines = file_lines(dir + "/trace.jsonl");
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(R"("cdb":"3b070000000000800000")"), std::string::npos);
    EXPECT_NE(lines[1].find(R"("cdb":"3b070000800000800000")"), std::string::npos);
    EXPECT_NE(lines[2].find(R"("cdb":"3b070001000000117000")"), std::string::npos);
    // A second run sees the new revision, and the unit attention the first one left.
    RunResult inq = under_bay(bay, {"sg_inq", "/dev/sg2"});
    EXPECT_NE(inq.out.find(" Product revision level: 0200\n"), std::string::npos) << inq.out;
    RunResult tur = under_bay(bay, {"sg_turs", "/dev/sg2"});
    EXPECT_NE(tur.err.find("Unit Attention"), std::string::npos) << tur.err;
    EXPECT_EQ(under_bay(bay, {"sg_turs", "/dev/sg2"}).status, 0);

    // Mode 5 with an image for another model is refused as the drive refuses it.
    RunResult other = under_bay(bay, {"sg_write_buffer", "-m", "5", "-I", img, "/dev/sg1"});
    EXPECT_NE(other.status, 0);
    EXPECT_NE(other.err.find("Illegal request"), std::string::npos) << other.err;
    // libata does not translate WRITE BUFFER.
    RunResult sata = under_bay(bay, {"sg_write_buffer", "-m", "5", "-I", img, "/dev/sg0"});
    EXPECT_NE(sata.err.find("Invalid opcode"), std::string::npos) << sata.err;
    RunResult show = run_command({sgsim_path(), "show", bay});
    EXPECT_NE(show.out.find("/dev/sg2 scsi vendor: Linux MN: scsi_debug SN: 16000 FW: 0200 "
                            "firmware: validate faults: 0\n"),
              std::string::npos)
        << show.out;
}

} // namespace
