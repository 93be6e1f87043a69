// Injected faults: which command they hit, and what the stack answers.
#include <cerrno>
#include <gtest/gtest.h>

#include "drive_exec.h"
#include "sim_test_util.h"

namespace {

Drive sata_with(std::vector<Fault> faults) {
    Drive d;
    d.node = "/dev/sg0";
    d.type = DriveType::sata;
    d.model = "QSTOR ACME-7200 SATA HYBRID";
    d.serial = "QS7X0042Z9";
    d.revision = "QA12.B07";
    d.faults = std::move(faults);
    return d;
}

Fault fault(const char *on, uint32_t index, const char *kind) {
    Fault f;
    f.on = on;
    f.index = index;
    f.kind = kind;
    return f;
}

const char *k_identify = "a1 08 2a 00 01 00 00 00 40 ec 00 00";

// What each kind of fault makes of an IDENTIFY (512 bytes in).
TEST(Faults, EachKindAnswersAsTheStack) {
    Fault eio = fault("identify", 0, "errno");
    eio.err = EIO;
    Fault check = fault("identify", 0, "check");
    check.key = 0x03;
    check.asc = 0x11;
    check.ascq = 0x00;
    const struct Case {
        Fault f;
        int io_errno;
        uint8_t status;
        uint16_t host, driver;
        const char *sense;
        int32_t resid;
        bool writes_data;
        uint32_t duration;
    } cases[] = {
        {eio, EIO, 0, 0, 0, "", 0, false, 0},
        {fault("identify", 0, "timeout"), 0, 0, 0x03, 0, "", 512, false, 5000},
        {fault("identify", 0, "busy"), 0, 0x08, 0, 0, "", 512, false, 0},
        {fault("identify", 0, "no_data"), 0, 0, 0, 0, "", 512, false, 0},
        {check, 0, 0x02, 0, 0x08, "70 00 03 00 00 00 00 0a 00 00 00 00 11 00 00 00 00 00", 0, true,
         0},
        {fault("identify", 0, "abort"), 0, 0x02, 0, 0x08,
         "70 00 0b 00 00 00 00 0a 04 41 40 01 00 00 00 00 00 00", 0, true, 0},
        {fault("identify", 0, "no_passthrough"), 0, 0x02, 0, 0x08,
         "70 00 05 00 00 00 00 0a 00 00 00 00 20 00 00 00 00 00", 0, true, 0},
        {fault("identify", 0, "vanish"), ENODEV, 0, 0, 0, "", 0, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.f.kind);
        Bay bay;
        bay.drives.push_back(sata_with({c.f}));
        Answer a = run_one(bay, 0, hex(k_identify), k_dxfer_from_dev, 512);
        EXPECT_EQ(a.io_errno, c.io_errno);
        if (c.io_errno != 0)
            continue;
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(a.host_status, c.host);
        EXPECT_EQ(a.driver_status, c.driver);
        EXPECT_EQ(info_of(a), std::string(c.f.kind) == "no_data" ? 0u : 1u);
        EXPECT_EQ(a.sense, hex(c.sense));
        EXPECT_EQ(a.resid, c.resid);
        EXPECT_EQ(a.writes_data, c.writes_data);
        if (a.writes_data) {
            EXPECT_EQ(a.data, std::vector<uint8_t>(512, 0));
        }
        EXPECT_EQ(a.duration_ms, c.duration);
    }
}

TEST(Faults, TimeOutLastsTheTimeOutInWholeSeconds) {
    const struct Case {
        uint32_t timeout, duration;
    } cases[] = {{5000, 5000}, {1500, 2000}, {1, 1000}, {0, 60000}};
    for (const Case &c : cases) {
        Bay bay;
        bay.drives.push_back(sata_with({fault("any", 0, "timeout")}));
        Command cmd;
        cmd.cdb = hex("12 00 00 00 60 00");
        cmd.direction = k_dxfer_from_dev;
        cmd.dxfer_len = 96;
        cmd.timeout_ms = c.timeout;
        EXPECT_EQ(execute_command(bay, 0, cmd).duration_ms, c.duration) << c.timeout;
    }
}

// A fault at index N of a kind hits only the Nth command of that kind; index 0 hits all.
TEST(Faults, IndexCountsCommandsOfTheKind) {
    const struct Case {
        Fault f;
        std::vector<bool> hit; // per command of the sequence below
    } cases[] = {
        {fault("identify", 2, "busy"), {false, false, false, true, false}},
        {fault("identify", 0, "busy"), {false, true, false, true, false}},
        {fault("ata", 3, "busy"), {false, false, false, true, false}},
        {fault("any", 5, "busy"), {false, false, false, false, true}},
        {fault("vpd", 1, "busy"), {false, false, false, false, false}},
        {fault("inquiry", 1, "busy"), {true, false, false, false, false}},
    };
    const char *seq[] = {"12 00 00 00 60 00", k_identify, "a1 08 2a 0b 01 db 97 20 40 ec 00 00",
                         k_identify, "12 00 00 00 60 00"};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.f.on + " " + std::to_string(c.f.index));
        Bay bay;
        bay.drives.push_back(sata_with({c.f}));
        for (size_t i = 0; i < 5; i++) {
            Answer a = run_one(bay, 0, hex(seq[i]), k_dxfer_from_dev, 512);
            EXPECT_EQ(a.status == 0x08, c.hit[i]) << "command " << i;
        }
    }
}

TEST(Faults, VanishedDriveStaysGone) {
    Bay bay;
    bay.drives.push_back(sata_with({fault("identify", 1, "vanish")}));
    int version = 0;
    EXPECT_EQ(open_drive(bay, 0), 0);
    EXPECT_EQ(run_one(bay, 0, hex("12 00 00 00 60 00"), k_dxfer_from_dev, 96).io_errno, 0);
    EXPECT_EQ(run_one(bay, 0, hex(k_identify), k_dxfer_from_dev, 512).io_errno, ENODEV);
    EXPECT_EQ(run_one(bay, 0, hex("12 00 00 00 60 00"), k_dxfer_from_dev, 96).io_errno, ENODEV);
    EXPECT_EQ(open_drive(bay, 0), ENODEV);
    EXPECT_EQ(version_of_drive(bay, 0, version), ENODEV);
}

TEST(Faults, OpenAndVersion) {
    Fault low = fault("version", 1, "version");
    low.value = 29999;
    Bay bay;
    bay.drives.push_back(sata_with({fault("open", 2, "errno"), low}));
    int version = 0;
    EXPECT_EQ(open_drive(bay, 0), 0);
    EXPECT_EQ(open_drive(bay, 0), EACCES);
    EXPECT_EQ(open_drive(bay, 0), 0);
    EXPECT_EQ(version_of_drive(bay, 0, version), 0);
    EXPECT_EQ(version, 29999);
    EXPECT_EQ(version_of_drive(bay, 0, version), 0);
    EXPECT_EQ(version, k_sg_version_num);
}

// A faulted command is not executed: a download hit by a time-out changes nothing.
TEST(Faults, FaultedCommandIsNotExecuted) {
    Bay bay;
    bay.drives.push_back(sata_with({fault("download", 1, "timeout")}));
    bay.drives[0].fw_mode = FirmwareMode::accept_any;
    bay.drives[0].fw_target = "QA99.X00";
    std::vector<uint8_t> junk(512, 1);
    std::vector<uint8_t> cdb = hex("a1 0a 26 07 01 00 00 00 00 92 00 00");
    Answer a = run_one(bay, 0, cdb, k_dxfer_to_dev, 512, junk);
    EXPECT_EQ(a.host_status, 0x03);
    EXPECT_EQ(bay.drives[0].revision, "QA12.B07");
    EXPECT_EQ(run_one(bay, 0, cdb, k_dxfer_to_dev, 512, junk).status, 0x02); // CK_COND
    EXPECT_EQ(bay.drives[0].revision, "QA99.X00");
}

} // namespace
