// Simulated images and how the drives take them over WRITE BUFFER and DOWNLOAD MICROCODE.
#include <cstring>
#include <gtest/gtest.h>
#include <utility>
#include <zlib.h>

#include "drive_exec.h"
#include "image.h"
#include "sense_build.h"
#include "sim_bytes.h"
#include "sim_test_util.h"
#include "trace.h"

namespace {

TEST(Image, HeaderLayout) {
    std::vector<uint8_t> img = make_image("NV-SAS10K", "N5R0", 1000);
    ASSERT_EQ(img.size(), 1000u);
    EXPECT_EQ(std::string(img.begin(), img.begin() + 8), "SGSIMFW1");
    EXPECT_EQ(std::string(img.begin() + 8, img.begin() + 48), "NV-SAS10K" + std::string(31, ' '));
    EXPECT_EQ(std::string(img.begin() + 48, img.begin() + 56), "N5R0    ");
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 56, img.begin() + 60), hex("00 00 03 a8"));
    uLong crc = crc32(0L, img.data() + 64, 936);
    uint32_t stored = uint32_t{img[60]} << 24 | img[61] << 16 | img[62] << 8 | img[63];
    EXPECT_EQ(stored, static_cast<uint32_t>(crc));
    EXPECT_TRUE(make_image("M", "R", 63).empty());
    EXPECT_TRUE(make_image(std::string(41, 'M'), "R", 100).empty());
    EXPECT_TRUE(make_image("M", "123456789", 100).empty());
}

Drive scsi_drive(FirmwareMode mode = FirmwareMode::validate) {
    Drive d;
    d.node = "/dev/sg1";
    d.type = DriveType::scsi;
    d.vendor = "NORTHVL";
    d.product = "NV-SAS10K";
    d.revision = "N4R2";
    d.serial = "NV0000777123";
    d.fw_mode = mode;
    d.fw_target = "N9R9";
    return d;
}

std::vector<uint8_t> wb_cdb(uint8_t mode, uint32_t offset, uint32_t len) {
    std::vector<uint8_t> c(10, 0);
    c[0] = 0x3b;
    c[1] = mode;
    put_be24(&c[3], offset);
    put_be24(&c[6], len);
    return c;
}

// Sends the pieces [offset, length) of bytes with WRITE BUFFER; returns the answers.
std::vector<Answer> send_wb(Bay &bay, uint8_t mode, const std::vector<uint8_t> &bytes,
                            const std::vector<std::pair<uint32_t, uint32_t>> &pieces) {
    std::vector<Answer> out;
    for (auto [off, len] : pieces) {
        std::vector<uint8_t> part(bytes.begin() + off, bytes.begin() + off + len);
        out.push_back(run_one(bay, 0, wb_cdb(mode, off, len), k_dxfer_to_dev, len, part));
    }
    return out;
}

const std::vector<uint8_t> k_invalid_field =
    hex("70 00 05 00 00 00 00 0a 00 00 00 00 24 00 00 00 00 00");
const std::vector<uint8_t> k_bad_image =
    hex("70 00 05 00 00 00 00 0a 00 00 00 00 26 00 00 00 00 00");

TEST(WriteBuffer, AcceptsOnlyWholeInOrderValidImages) {
    std::vector<uint8_t> good = make_image("NV-SAS10K", "N5R0", 70000);
    std::vector<uint8_t> other = make_image("OTHER", "N5R0", 70000);
    std::vector<uint8_t> damaged = good;
    damaged[40000] ^= 0x01;
    std::vector<uint8_t> padded = good;
    padded.resize(70000 + 511, 0);
    std::vector<uint8_t> too_long = good;
    too_long.resize(70000 + 512, 0);
    using Pieces = std::vector<std::pair<uint32_t, uint32_t>>;
    const struct Case {
        const char *name;
        uint8_t mode;
        const std::vector<uint8_t> *bytes;
        Pieces pieces;
        std::vector<std::vector<uint8_t>> senses; // one per piece; empty = GOOD
        const char *revision;
    } cases[] = {
        {"whole 05h", 0x05, &good, {{0, 70000}}, {{}}, "N5R0"},
        {"07h in order",
         0x07,
         &good,
         {{0, 32768}, {32768, 32768}, {65536, 4464}},
         {{}, {}, {}},
         "N5R0"},
        {"07h restarted",
         0x07,
         &good,
         {{0, 32768}, {0, 32768}, {32768, 37232}},
         {{}, {}, {}},
         "N5R0"},
        {"07h unfinished", 0x07, &good, {{0, 32768}, {32768, 32768}}, {{}, {}}, "N4R2"},
        // The drive keeps only the header and a running CRC of the payload: a header cut
        // between commands, and damage in a later command, are judged all the same.
        {"07h header split", 0x07, &good, {{0, 10}, {10, 50}, {60, 69940}}, {{}, {}, {}}, "N5R0"},
        {"07h damaged after the first piece",
         0x07,
         &damaged,
         {{0, 32768}, {32768, 37232}},
         {{}, k_bad_image},
         "N4R2"},
        {"07h padded", 0x07, &padded, {{0, 32768}, {32768, 37743}}, {{}, {}}, "N5R0"},
        {"07h gap", 0x07, &good, {{0, 32768}, {65536, 4464}}, {{}, k_invalid_field}, "N4R2"},
        {"07h not from 0", 0x07, &good, {{32768, 32768}}, {k_invalid_field}, "N4R2"},
        {"05h half", 0x05, &good, {{0, 35000}}, {k_bad_image}, "N4R2"},
        {"other model", 0x05, &other, {{0, 70000}}, {k_bad_image}, "N4R2"},
        {"07h other model", 0x07, &other, {{0, 32768}}, {k_bad_image}, "N4R2"},
        {"damaged", 0x05, &damaged, {{0, 70000}}, {k_bad_image}, "N4R2"},
        {"padded", 0x05, &padded, {{0, 70511}}, {{}}, "N5R0"},
        {"too long", 0x05, &too_long, {{0, 70512}}, {k_bad_image}, "N4R2"},
        {"mode 02h", 0x02, &good, {{0, 4096}}, {k_invalid_field}, "N4R2"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bay bay;
        bay.drives.push_back(scsi_drive());
        std::vector<Answer> got = send_wb(bay, c.mode, *c.bytes, c.pieces);
        for (size_t i = 0; i < got.size(); i++) {
            EXPECT_EQ(got[i].sense, c.senses[i]) << "piece " << i;
            EXPECT_EQ(got[i].status, c.senses[i].empty() ? 0 : 2) << "piece " << i;
        }
        EXPECT_EQ(bay.drives[0].revision, c.revision);
        bool changed = std::string(c.revision) != "N4R2";
        EXPECT_EQ(bay.drives[0].unit_attention, changed);
        Answer inq = run_one(bay, 0, hex("12 00 00 00 60 00"), k_dxfer_from_dev, 96);
        EXPECT_EQ(std::string(inq.data.begin() + 32, inq.data.begin() + 36), c.revision);
    }
}

TEST(WriteBuffer, DrivesThatTakeAnyBytes) {
    std::vector<uint8_t> junk(70000, 0x33);
    for (FirmwareMode mode : {FirmwareMode::accept_any, FirmwareMode::keep_revision}) {
        Bay bay;
        bay.drives.push_back(scsi_drive(mode));
        std::vector<Answer> got =
            send_wb(bay, 0x07, junk, {{0, 32768}, {32768, 32768}, {65536, 4464}});
        for (const Answer &a : got)
            EXPECT_EQ(a.status, 0);
        EXPECT_EQ(bay.drives[0].revision, mode == FirmwareMode::accept_any ? "N9R9" : "N4R2");
        // The download was not held up by the unit attention; the next command is.
        Answer tur = run_one(bay, 0, hex("00 00 00 00 00 00"), k_dxfer_none, 0);
        EXPECT_EQ(tur.sense, hex("70 00 06 00 00 00 00 0a 00 00 00 00 3f 16 00 00 00 00"));
        EXPECT_TRUE(tur.state_changed);
    }
}

Drive sata_drive() {
    Drive d;
    d.node = "/dev/sg0";
    d.type = DriveType::sata;
    d.model = "QSTOR ACME-7200 SATA HYBRID";
    d.serial = "QS7X0042Z9";
    d.revision = "QA12.B07";
    return d;
}

std::vector<uint8_t> dlmc_cdb(uint8_t sub, uint32_t blocks, uint32_t block_offset) {
    return {0xa1,
            0x0a,
            0x26,
            sub,
            static_cast<uint8_t>(blocks),
            static_cast<uint8_t>(blocks >> 8),
            static_cast<uint8_t>(block_offset),
            static_cast<uint8_t>(block_offset >> 8),
            0x00,
            0x92,
            0x00,
            0x00};
}

TEST(DownloadMicrocode, SegmentsInOrderThenActive) {
    std::vector<uint8_t> img = make_image("QSTOR ACME-7200 SATA HYBRID", "QA13.B01", 69632);
    Bay bay;
    bay.drives.push_back(sata_drive());
    const struct Step {
        uint32_t blocks, offset;
        const char *sense;
    } steps[] = {
        // COUNT reports 01h (more expected), then 02h (applied); LBA MID the block offset
        {64, 0, "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 01 00 00 00 00 00 00 00 50"},
        {64, 64, "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 01 00 00 00 40 00 00 00 50"},
        {8, 128, "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 02 00 00 00 80 00 00 00 50"},
    };
    for (const Step &s : steps) {
        std::vector<uint8_t> part(img.data() + size_t{s.offset} * 512,
                                  img.data() + size_t{s.offset + s.blocks} * 512);
        Answer a = run_one(bay, 0, dlmc_cdb(0x03, s.blocks, s.offset), k_dxfer_to_dev,
                           s.blocks * 512, part);
        EXPECT_EQ(a.sense, hex(s.sense)) << s.offset;
    }
    EXPECT_EQ(bay.drives[0].revision, "QA13.B01");
    EXPECT_FALSE(bay.drives[0].unit_attention);
    std::vector<uint8_t> id = identify_data(bay.drives[0]);
    EXPECT_EQ(std::string(id.begin() + 46, id.begin() + 54), "AQ31B.10");
}

TEST(DownloadMicrocode, RefusalsAbort) {
    const std::string model = "QSTOR ACME-7200 SATA HYBRID";
    std::vector<uint8_t> good = make_image(model, "QA13.B01", 4096);
    std::vector<uint8_t> short_img = make_image(model, "QA13.B01", 1000);
    short_img.resize(1024, 0);
    std::vector<uint8_t> wrong = make_image("MERIDIAN MX500", "QA13.B01", 4096);
    const char *abort = "70 00 0b 00 00 00 00 0a 04 41 00 08 00 00 00 00 00 00";
    const struct Case {
        const char *name;
        std::vector<uint8_t> cdb;
        const std::vector<uint8_t> *bytes;
        const char *sense;
        const char *revision;
    } cases[] = {
        {"07h whole", dlmc_cdb(0x07, 8, 0), &good,
         "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 08 00 00 00 00 00 00 00 50", "QA13.B01"},
        {"07h padded to a block", dlmc_cdb(0x07, 2, 0), &short_img,
         "72 01 00 1d 00 00 00 0e 09 0c 00 00 00 02 00 00 00 00 00 00 00 50", "QA13.B01"},
        {"07h other model", dlmc_cdb(0x07, 8, 0), &wrong, abort, "QA12.B07"},
        {"07h half", dlmc_cdb(0x07, 4, 0), &good,
         "70 00 0b 00 00 00 00 0a 04 41 00 04 00 00 00 00 00 00", "QA12.B07"},
        {"03h not from 0", dlmc_cdb(0x03, 8, 8), &good, abort, "QA12.B07"},
        {"fewer bytes than blocks", dlmc_cdb(0x07, 9, 0), &good,
         "70 00 0b 00 00 00 00 0a 04 41 00 09 00 00 00 00 00 00", "QA12.B07"},
        {"subcommand 0Dh", dlmc_cdb(0x0d, 8, 0), &good, abort, "QA12.B07"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bay bay;
        bay.drives.push_back(sata_drive());
        Answer a = run_one(bay, 0, c.cdb, k_dxfer_to_dev, static_cast<uint32_t>(c.bytes->size()),
                           *c.bytes);
        EXPECT_EQ(a.sense, hex(c.sense));
        EXPECT_EQ(bay.drives[0].revision, c.revision);
        EXPECT_EQ(a.state_changed, std::string(c.revision) != "QA12.B07");
    }
}

// Staged microcode on both kinds of drive: each command's answer (its sense), then
// the revision and whether something stays staged. A step without a CDB is a power cycle.
TEST(Staging, StageActivatePowerCycleAndRefusals) {
    std::vector<uint8_t> scsi_img = make_image("NV-SAS10K", "N5R0", 4096);
    std::vector<uint8_t> ata_img = make_image("QSTOR ACME-7200 SATA HYBRID", "QA13.B01", 4096);
    struct Step {
        std::vector<uint8_t> cdb;
        uint32_t from, len;         // the image bytes the command carries
        std::vector<uint8_t> sense; // empty: GOOD
    };
    const std::vector<uint8_t> invalid = fixed_sense(5, 0x24, 0);
    const std::vector<uint8_t> good;
    auto wb0e = [](uint32_t off, uint32_t len, std::vector<uint8_t> want) {
        return Step{wb_cdb(0x0e, off, len), off, len, std::move(want)};
    };
    auto dl0e = [](uint32_t blocks, uint32_t at, std::vector<uint8_t> want) {
        return Step{dlmc_cdb(0x0e, blocks, at), at * 512, blocks * 512, std::move(want)};
    };
    auto ata = [](const char *count, const char *lba_mid) {
        return hex(std::string("72 01 00 1d 00 00 00 0e 09 0c 00 00 00 ") + count + " 00 00 00 " +
                   lba_mid + " 00 00 00 50");
    };
    auto abrt = [](const char *count) {
        return hex(std::string("70 00 0b 00 00 00 00 0a 04 41 00 ") + count + " 00 00 00 00 00 00");
    };
    const Step tur{hex("00 00 00 00 00 00"), 0, 0, good};
    const Step cycle{{}, 0, 0, good};
    const Step wb0f{wb_cdb(0x0f, 0, 0), 0, 0, good};
    const Step dl0f{hex("a1 06 20 0f 00 00 00 00 00 92 00 00"), 0, 0, ata("00", "00")};
    auto with = [](Step st, std::vector<uint8_t> want) {
        st.sense = std::move(want);
        return st;
    };
    Drive scsi = scsi_drive();
    Drive modes_05_07 = scsi;
    Drive boundary = scsi;
    modes_05_07.dms_valid = true;
    modes_05_07.dm_md = 0x50;
    boundary.has_read_buffer = true;
    boundary.offset_boundary = 12;
    Drive sata = sata_drive();
    Drive no_deferred = sata;
    no_deferred.dm_capabilities = 0x8000000000000000u;
    const struct Case {
        const char *name;
        Drive drive;
        std::vector<Step> steps;
        const char *revision;
        bool staged;
    } cases[] = {
        {"SCSI: 0Fh refused, 0Eh stages, 0Fh activates",
         scsi,
         {with(wb0f, fixed_sense(5, 0x2c, 0)), wb0e(0, 2048, good), wb0e(2048, 2048, good), tur,
          wb0f, with(tur, fixed_sense(6, 0x3f, 0x16))},
         "N5R0",
         false},
        {"SCSI: power cycle",
         scsi,
         {wb0e(0, 4096, good), cycle, with(tur, fixed_sense(6, 0x29, 0)), tur},
         "N5R0",
         false},
        {"SCSI: page 86h states 05h, 07h", modes_05_07, {wb0e(0, 4096, invalid)}, "N4R2", false},
        {"SCSI: off the 2^12 boundary",
         boundary,
         {wb0e(0, 2048, good), wb0e(2048, 2048, invalid)},
         "N4R2",
         false},
        {"ATA: 0Fh refused, 0Eh stages",
         sata,
         {with(dl0f, abrt("00")), dl0e(4, 0, ata("01", "00")), dl0e(4, 4, ata("03", "04"))},
         "QA12.B07",
         true},
        {"ATA: 0Fh activates", sata, {dl0e(8, 0, ata("03", "00")), dl0f}, "QA13.B01", false},
        {"ATA: power cycle", sata, {dl0e(8, 0, ata("03", "00")), cycle}, "QA13.B01", false},
        {"ATA: log states no 0Eh", no_deferred, {dl0e(8, 0, abrt("08"))}, "QA12.B07", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Bay bay;
        bay.drives.push_back(c.drive);
        const std::vector<uint8_t> &img = c.drive.type == DriveType::sata ? ata_img : scsi_img;
        for (const Step &st : c.steps) {
            if (st.cdb.empty()) {
                power_cycle(bay.drives[0]);
                continue;
            }
            std::vector<uint8_t> part(img.begin() + st.from, img.begin() + st.from + st.len);
            Answer a =
                run_one(bay, 0, st.cdb, st.len != 0 ? k_dxfer_to_dev : k_dxfer_none, st.len, part);
            EXPECT_EQ(a.sense, st.sense) << describe_cdb(st.cdb);
        }
        EXPECT_EQ(bay.drives[0].revision, c.revision);
        EXPECT_EQ(bay.drives[0].staged, c.staged);
    }
}

} // namespace
