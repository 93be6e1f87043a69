// The SATA drive behind the SAT layer: sense layouts, IDENTIFY and the firmware requests.
#include <gtest/gtest.h>

#include "drive_exec.h"
#include "sim_test_util.h"

namespace {

Drive sata_drive() {
    Drive d;
    d.node = "/dev/sg0";
    d.type = DriveType::sata;
    d.model = "QSTOR ACME-7200 SATA HYBRID";
    d.serial = "QS7X0042Z9";
    d.revision = "QA12.B07";
    return d;
}

struct SenseCase {
    const char *name;
    AbortSense layout;
    const char *cdb;
    int direction;
    uint32_t length;
    uint8_t status;
    const char *sense;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const SenseCase &c, std::ostream *os) {
    *os << c.name;
}

class SataSense : public ::testing::TestWithParam<SenseCase> {};

TEST_P(SataSense, LaysOutTheRegisters) {
    const SenseCase &p = GetParam();
    Bay bay;
    bay.abort_sense = p.layout;
    bay.drives.push_back(sata_drive());
    std::vector<uint8_t> out(p.direction == k_dxfer_to_dev ? p.length : 0, 0);
    Answer a = run_one(bay, 0, hex(p.cdb), p.direction, p.length, out);
    EXPECT_EQ(a.status, p.status);
    EXPECT_EQ(a.driver_status, p.status == 0 ? 0 : 8);
    EXPECT_EQ(a.resid, 0);
    EXPECT_EQ(a.sense, hex(p.sense));
}

const char *k_dlmc07_8 = "a1 0a 26 07 08 00 00 00 00 92 00 00";
const char *k_identify12 = "a1 08 2a 00 01 00 00 00 40 ec 00 00";

INSTANTIATE_TEST_SUITE_P(
    Layouts, SataSense,
    ::testing::Values(
        SenseCase{"abort_linux61", AbortSense::linux_6_1, k_dlmc07_8, k_dxfer_to_dev, 4096, 2,
                  "70 00 0b 00 00 00 00 0a 04 41 00 08 00 00 00 00 00 00"},
        SenseCase{"abort_sat", AbortSense::sat, k_dlmc07_8, k_dxfer_to_dev, 4096, 2,
                  "f0 00 0b 04 41 00 08 0a 00 00 00 00 00 00 00 00 00 00"},
        SenseCase{"abort_descriptor", AbortSense::descriptor, k_dlmc07_8, k_dxfer_to_dev, 4096, 2,
                  "72 0b 00 00 00 00 00 0e 09 0c 00 04 00 08 00 00 00 00 00 00 00 41"},
        SenseCase{"abort_lba_low_linux61", AbortSense::linux_6_1,
                  "a1 0a 26 07 08 00 12 34 00 92 00 00", k_dxfer_to_dev, 4096, 2,
                  "70 00 0b 00 00 00 00 0a 04 41 00 08 00 00 00 00 00 00"},
        SenseCase{"abort_lba_sat", AbortSense::sat, "a1 0a 26 03 08 00 12 34 00 92 00 00",
                  k_dxfer_to_dev, 4096, 2, "f0 00 0b 04 41 00 08 0a 00 00 12 34 00 00 00 00 00 00"},
        SenseCase{"identify_ck_cond", AbortSense::linux_6_1, k_identify12, k_dxfer_from_dev, 512, 2,
                  "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 01 00 00 00 00 00 00 40 50"},
        SenseCase{"identify16_ck_cond", AbortSense::sat,
                  "85 08 2e 00 00 00 01 00 00 00 00 00 00 40 ec 00", k_dxfer_from_dev, 512, 2,
                  "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 01 00 00 00 00 00 00 40 50"},
        SenseCase{"identify16_no_ck_cond", AbortSense::linux_6_1,
                  "85 08 0e 00 00 00 01 00 00 00 00 00 00 40 ec 00", k_dxfer_from_dev, 512, 0, ""},
        SenseCase{"check_power_ck_cond", AbortSense::linux_6_1,
                  "a1 06 20 00 00 00 00 00 00 e5 00 00", k_dxfer_none, 0, 2,
                  "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 ff 00 00 00 00 00 00 00 50"},
        SenseCase{"extended_ck_cond", AbortSense::linux_6_1,
                  "85 07 2c 00 00 00 00 01 02 03 04 05 06 00 e5 00", k_dxfer_none, 0, 2,
                  "72 01 00 1d 00 00 00 0e 09 0c 01 00 00 ff 01 02 03 04 05 06 00 50"},
        SenseCase{"unknown_ata_command", AbortSense::linux_6_1,
                  "a1 06 20 00 00 00 00 00 00 ef 00 00", k_dxfer_none, 0, 2,
                  "70 00 0b 00 00 00 00 0a 04 41 00 00 00 00 00 00 00 00"},
        SenseCase{"write_buffer_descriptor", AbortSense::descriptor,
                  "3b 05 00 00 00 00 00 10 00 00", k_dxfer_to_dev, 4096, 2,
                  "72 05 20 00 00 00 00 00"},
        SenseCase{"reserved_protocol", AbortSense::linux_6_1, "a1 0e 2a 00 01 00 00 00 40 ec 00 00",
                  k_dxfer_from_dev, 512, 2,
                  "70 00 05 00 00 00 00 0a 00 00 00 00 24 00 00 00 00 00"}),
    [](const auto &info) { return std::string(info.param.name); });

std::string text_at(const std::vector<uint8_t> &b, size_t at, size_t len) {
    return std::string(reinterpret_cast<const char *>(b.data() + at), len);
}

std::string swapped_at(const std::vector<uint8_t> &b, size_t at, size_t len) {
    std::string s;
    for (size_t i = 0; i < len; i += 2) {
        s += static_cast<char>(b[at + i + 1]);
        s += static_cast<char>(b[at + i]);
    }
    return s;
}

const char *k_dotted_req = "a1 08 2a 0b 01 db 97 20 40 ec 00 00";
const char *k_plain_req = "a1 08 2a 00 01 db 97 20 40 ec 00 00";

TEST(SataIdentify, StringsStandSwappedInTheirWords) {
    std::vector<uint8_t> id = identify_data(sata_drive());
    EXPECT_EQ(swapped_at(id, 20, 20), "QS7X0042Z9          ");
    EXPECT_EQ(swapped_at(id, 46, 8), "QA12.B07");
    EXPECT_EQ(swapped_at(id, 54, 40), "QSTOR ACME-7200 SATA HYBRID             ");
    EXPECT_EQ(id[0], 0x40);
    EXPECT_EQ(id[275], 0x00);
    Drive d = sata_drive();
    d.dotted_flag = true;
    EXPECT_EQ(identify_data(d)[275], 0x50);
}

// Which answer each kind of drive gives to each firmware request.
TEST(SataIdentify, FirmwareRequestsAnsweredOrIgnored) {
    const struct Case {
        FwreqAnswer fwreq;
        const char *cdb;
        bool answered;
    } cases[] = {
        {FwreqAnswer::dotted, k_dotted_req, true},  {FwreqAnswer::dotted, k_plain_req, false},
        {FwreqAnswer::plain, k_plain_req, true},    {FwreqAnswer::plain, k_dotted_req, false},
        {FwreqAnswer::ignore, k_dotted_req, false}, {FwreqAnswer::ignore, k_plain_req, false},
    };
    for (const Case &c : cases) {
        Bay bay;
        bay.drives.push_back(sata_drive());
        bay.drives[0].fwreq = c.fwreq;
        bay.drives[0].fwreq_text = "{rev}.0042.77.X9";
        bay.drives[0].fwreq_suffix = "R7";
        Answer a = run_one(bay, 0, hex(c.cdb), k_dxfer_from_dev, 512);
        ASSERT_EQ(a.data.size(), 512u);
        SCOPED_TRACE(c.cdb);
        if (!c.answered) {
            EXPECT_EQ(a.data, identify_data(bay.drives[0]));
            continue;
        }
        EXPECT_EQ(text_at(a.data, 0, 20), std::string("QA12.B07.0042.77.X9") + '\0');
        if (c.fwreq == FwreqAnswer::dotted)
            EXPECT_EQ(text_at(a.data, 464, 4), "R7  ");
        else
            EXPECT_EQ(text_at(a.data, 464, 4), std::string(4, '\0'));
    }
}

// A revision that holds the placeholder itself is put in once per placeholder of the text.
TEST(SataIdentify, RevisionHoldingThePlaceholderIsPutInOnce) {
    Bay bay;
    bay.drives.push_back(sata_drive());
    bay.drives[0].fwreq = FwreqAnswer::plain;
    bay.drives[0].revision = "A{rev}";
    bay.drives[0].fwreq_text = "{rev}-{rev}";
    Answer a = run_one(bay, 0, hex(k_plain_req), k_dxfer_from_dev, 512);
    EXPECT_EQ(text_at(a.data, 0, 14), std::string("A{rev}-A{rev}") + '\0');
}

TEST(SataInquiry, RevisionIsTheLastFourCharactersOrTheFirstFour) {
    const struct Case {
        std::string revision;
        const char *shown;
    } cases[] = {{"QA12.B07", ".B07"}, {"QA12", "QA12"}, {"AB", "AB  "},
                 {"QA12 B07", "n/a "}, {"", "n/a "},     {std::string("QA12\0B07", 8), "n/a "}};
    for (const Case &c : cases) {
        Bay bay;
        bay.drives.push_back(sata_drive());
        bay.drives[0].revision = c.revision;
        Answer a = run_one(bay, 0, hex("12 00 00 00 60 00"), k_dxfer_from_dev, 96);
        EXPECT_EQ(text_at(a.data, 8, 8), "ATA     ");
        EXPECT_EQ(text_at(a.data, 16, 16), "QSTOR ACME-7200 ");
        EXPECT_EQ(text_at(a.data, 32, 4), c.shown) << c.revision;
    }
}

// libata fills the buffer whatever the allocation length says, and lists its pages in 00h
// (the real stack's list).
TEST(SataInquiry, VpdPagesAndBufferLongerThanTheAllocation) {
    Bay bay;
    bay.drives.push_back(sata_drive());
    Answer list = run_one(bay, 0, hex("12 01 00 00 60 00"), k_dxfer_from_dev, 96);
    EXPECT_EQ(std::vector<uint8_t>(list.data.begin(), list.data.begin() + 12),
              hex("00 00 00 08 00 80 83 89 b0 b1 b2 b9"));
    Answer a = run_one(bay, 0, hex("12 00 00 01 2c 00"), k_dxfer_from_dev, 300);
    EXPECT_EQ(a.resid, 0);
    EXPECT_EQ(a.data.size(), 300u);
    // libata has no page 86h: INVALID FIELD IN CDB pointing at byte 2 (the real answer).
    Answer bad = run_one(bay, 0, hex("12 01 86 00 40 00"), k_dxfer_from_dev, 64);
    EXPECT_EQ(bad.sense, hex("70 00 05 00 00 00 00 12 00 00 00 00 24 00 00 c0 00 02 00 00 00 00 "
                             "00 00 00 00"));
}

TEST(SataPassThrough, RefusedWhenTheLayerHasNone) {
    Bay bay;
    bay.drives.push_back(sata_drive());
    bay.drives[0].ata_passthrough = false;
    Answer a = run_one(bay, 0, hex(k_identify12), k_dxfer_from_dev, 512);
    EXPECT_EQ(a.sense, hex("70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00"));
    EXPECT_EQ(a.data, std::vector<uint8_t>(512, 0));
    EXPECT_EQ(a.resid, 0);
}

} // namespace
