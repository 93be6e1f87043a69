#include "cli/device_list.h"
#include "cli/device_step.h"
#include "cli/drive_name.h"
#include "cli/exit_hooks.h"
#include "cli/host_check.h"
#include "cli/identity.h"
#include "sg/scsi_pages.h"

#include "hex_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

// 96 bytes of standard INQUIRY data with the three text fields placed as sent.
std::vector<uint8_t> inquiry_with(const std::string &vendor, const std::string &product,
                                  const std::string &revision) {
    std::vector<uint8_t> inq(k_inquiry_buf_len, 0);
    std::memcpy(inq.data() + 8, vendor.data(), std::min<size_t>(vendor.size(), 8));
    std::memcpy(inq.data() + 16, product.data(), std::min<size_t>(product.size(), 16));
    std::memcpy(inq.data() + 32, revision.data(), std::min<size_t>(revision.size(), 4));
    return inq;
}

// A 96-byte unit serial number page: page length, then the field bytes as given.
std::vector<uint8_t> serial_page(uint8_t page_len, const std::string &field) {
    std::vector<uint8_t> page(k_inquiry_buf_len, 0);
    page[1] = 0x80;
    page[3] = page_len;
    std::memcpy(page.data() + 4, field.data(), std::min<size_t>(field.size(), 92));
    return page;
}

TEST(StandardIdentity, RealDrives) {
    struct Case {
        const char *file;
        const char *vendor;
        const char *product;
        const char *revision;
        bool is_ata;
    };
    const Case cases[] = {
        {"inquiry_std_sg0.hex", "ATA     ", "QSTOR", ".B07", true},
        {"inquiry_std_sg1.hex", "NORTHVL ", "NV-SAS10K", "N4R2", false},
        {"inquiry_std_sg2.hex", "Linux   ", "scsi_debug", "0191", false},
    };
    for (const auto &c : cases) {
        HexFixture fx = load_hex_fixture(c.file);
        ASSERT_EQ(fx.data.size(), 96u) << c.file;
        DeviceIdentity id{};
        fill_standard_identity(&id, fx.data.data());
        EXPECT_STREQ(id.vendor, c.vendor) << c.file;
        EXPECT_STREQ(id.product, c.product) << c.file;
        EXPECT_STREQ(id.revision, c.revision) << c.file;
        EXPECT_EQ(id.is_ata, c.is_ata) << c.file;
    }
}

TEST(StandardIdentity, FieldRules) {
    struct Case {
        const char *what;
        std::string vendor, product;
        const char *want_vendor, *want_product;
        bool is_ata;
    };
    const Case cases[] = {
        {"ATA and five blanks", "ATA     ", "MODEL", "ATA     ", "MODEL", true},
        {"vendor beginning ATA", "ATAPIX  ", "M", "ATAPIX  ", "M", true},
        {"lower case ata", "ata     ", "M", "ata     ", "M", false},
        {"blank before ATA", " ATA    ", "M", " ATA    ", "M", false},
        {"product cut at a blank", "VEND    ", "AB CD           ", "VEND    ", "AB", false},
        {"product cut at a tab", "VEND    ", "AB\tCD", "VEND    ", "AB", false},
        {"product beginning with a blank", "VEND    ", " ABCD", "VEND    ", "", false},
        {"sixteen characters", "VEND    ", "0123456789ABCDEF", "VEND    ", "0123456789ABCDEF",
         false},
    };
    for (const auto &c : cases) {
        auto inq = inquiry_with(c.vendor, c.product, "R1.0");
        DeviceIdentity id{};
        fill_standard_identity(&id, inq.data());
        EXPECT_STREQ(id.vendor, c.want_vendor) << c.what;
        EXPECT_STREQ(id.product, c.want_product) << c.what;
        EXPECT_STREQ(id.revision, "R1.0") << c.what;
        EXPECT_EQ(id.is_ata, c.is_ata) << c.what;
    }
}

TEST(Serial, RealDrives) {
    // The listing's 8 bytes, and the record's whole field without its padding.
    const std::tuple<const char *, const char *, const char *> cases[] = {
        {"inquiry_vpd80_sg0.hex", "QS7X0042", "QS7X0042Z9"},
        {"inquiry_vpd80_sg1.hex", "NV000077", "NV0000777123"},
        {"inquiry_vpd80_sg2.hex", "16000", "16000"},
    };
    for (const auto &[file, serial, full] : cases) {
        HexFixture fx = load_hex_fixture(file);
        DeviceIdentity id{};
        fill_serial(&id, fx.data.data(), fx.data.size());
        EXPECT_STREQ(id.serial, serial) << file;
        EXPECT_STREQ(id.full_serial, full) << file;
    }
}

TEST(Serial, ScanAndCopyRules) {
    struct Case {
        const char *what;
        uint8_t page_len;
        std::string field;
        std::string serial;
    };
    const Case cases[] = {
        {"four spaces then twelve characters", 16, "    ABC123456789", "ABC12345"},
        {"page length 0", 0, "ABC", ""},
        {"every byte of the field a space", 4, "    XYZ", ""},
        {"copy runs past the page length", 5, " AB", "AB"},
        {"only the space counts as a blank", 4, "\tAB", "\tAB"},
        {"control bytes are stored as they are", 8,
         "A\x01"
         "B\x7f",
         "A\x01"
         "B\x7f"},
        {"a zero byte ends the copy early", 8, "AB\0CD", "AB"},
    };
    for (const auto &c : cases) {
        auto page = serial_page(c.page_len, c.field);
        DeviceIdentity id{};
        fill_serial(&id, page.data(), page.size());
        EXPECT_EQ(std::string(id.serial), c.serial) << c.what;
    }
}

TEST(Serial, StaysInsideTheBufferWhateverThePageLengthClaims) {
    // 90 leading spaces: the field starts at byte 94, two bytes before the end of the buffer.
    auto page = serial_page(255, std::string(90, ' ') + "QW");
    DeviceIdentity id{};
    fill_serial(&id, page.data(), page.size());
    EXPECT_STREQ(id.serial, "QW");

    // A page of nothing but spaces that claims 255 bytes gives no serial.
    page = serial_page(255, std::string(92, ' '));
    fill_serial(&id, page.data(), page.size());
    EXPECT_STREQ(id.serial, "");

    // The buffer is handed over with its exact size, so that the sanitizers catch a read
    // past it.
    std::unique_ptr<uint8_t[]> exact(new uint8_t[96]);
    std::memset(exact.get(), ' ', 96);
    exact[3] = 255;
    exact[95] = 'Z';
    fill_serial(&id, exact.get(), 96);
    EXPECT_STREQ(id.serial, "Z");
    EXPECT_STREQ(id.full_serial, "Z");
}

// Page 83h of the designators' hex bytes, claiming page_len bytes (-1: as many as given).
std::vector<uint8_t> vpd83(const std::string &designators, int page_len = -1) {
    std::vector<uint8_t> page = {0x00, 0x83, 0x00, 0x00};
    hex_fixture_detail::append_hex_words(designators, &page);
    page[3] = static_cast<uint8_t>(page_len < 0 ? page.size() - 4 : page_len);
    return page;
}

TEST(DeviceIdentification, NaaNameOfTheLogicalUnitOnly) {
    const std::string t10 = "02 01 00 04 41 54 41 20 ",
                      naa5 = "01 03 00 08 50 00 c5 00 a1 b2 c3 d4 ";
    const std::string other = "01 03 00 08 50 00 c5 00 ff ff ff ff ", wwn = "5000c500a1b2c3d4";
    const std::tuple<const char *, std::vector<uint8_t>, std::string> cases[] = {
        {"NAA 5 after a T10 vendor ID", vpd83(t10 + naa5), wwn},
        {"NAA 6", vpd83("01 03 00 10 60 01 40 5f 2a 2b 2c 2d 2e 2f 30 31 32 33 34 35"),
         "6001405f2a2b2c2d2e2f303132333435"},
        {"scsi_debug: NAA 3 of the logical unit, then of its port",
         vpd83("01 03 00 08 33 33 33 30 00 00 3e 80 61 93 00 08 32 22 22 20 00 00 3e 7e"),
         "3333333000003e80"},
        {"EUI-64 only", vpd83("01 02 00 08 00 11 22 33 44 55 66 77"), ""},
        {"EUI-64 that reads as NAA 5", vpd83("01 02 00 08 50 00 c5 00 a1 b2 c3 d4"), ""},
        {"NAA 2", vpd83("01 03 00 08 20 00 00 11 22 33 44 55"), "2000001122334455"},
        {"T10 vendor ID only", vpd83(t10), ""},
        {"NAA 5 in 16 bytes", vpd83("01 03 00 10 50 00 c5 00 a1 b2 c3 d4 00 00 00 00 00 00 00 00"),
         ""},
        {"zero", vpd83("01 03 00 08 00 00 00 00 00 00 00 00"), ""},
        {"zero past the NAA field", vpd83("01 03 00 08 50 00 00 00 00 00 00 00"), ""},
        {"two NAA names: the first", vpd83(naa5 + other), wwn},
        {"a designator past the page length", vpd83(t10 + naa5, 18), ""},
        {"a designator length past the buffer", vpd83(t10 + "01 03 00 ff 50 00 c5 00"), ""},
        {"a page length past the buffer", vpd83(naa5, 255), wwn},
    };
    for (const auto &[what, page, naa] : cases) {
        // Exactly the page's bytes, so that the sanitizers catch a read past them.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[page.size()]);
        std::memcpy(exact.get(), page.data(), page.size());
        EXPECT_EQ(parse_device_identification(exact.get(), page.size()).naa, naa) << what;
    }
    std::vector<uint8_t> serial_page = vpd83(naa5);
    serial_page[1] = 0x80;
    EXPECT_EQ(parse_device_identification(serial_page.data(), serial_page.size()).naa, "");
}

TEST(DriveName, OneDriveWhateverNodeItAnswersAt) {
    const DriveName sas{"5000c500a1b2c3d4", "NORTHVL", "NV-SAS10K", "NV0001"};
    const std::tuple<const char *, DriveName, bool> cases[] = {
        {"the other port of a dual-ported drive", sas, true},
        {"the same WWN, no serial read", {sas.wwn, "NORTHVL", "NV-SAS10K", ""}, true},
        {"the same WWN, another serial: a bridge naming every drive alike",
         {sas.wwn, "NORTHVL", "NV-SAS10K", "NV0002"},
         false},
        {"another WWN, the same serial",
         {"5000c500a1b2c3d5", "NORTHVL", "NV-SAS10K", "NV0001"},
         false},
        {"no WWN, vendor, model and serial alike", {"", "NORTHVL", "NV-SAS10K", "NV0001"}, true},
        {"no WWN, another model", {"", "NORTHVL", "NV-SAS15K", "NV0001"}, false},
    };
    for (const auto &[what, other, same] : cases) {
        EXPECT_EQ(same_drive(sas, other), same) << what;
        EXPECT_EQ(same_drive(other, sas), same) << what;
    }
    // A blank name is nobody's: serials of blanks or zeros never match, not even each other.
    for (const char *blank : {"", "0000000000", " 0 0 "}) {
        DriveName a{"", "ATA", "QSTOR", blank};
        EXPECT_FALSE(same_drive(a, a) || names_a_drive(a)) << '"' << blank << '"';
    }
}

DeviceIdentity identity(const char *vendor, const char *model, const char *serial,
                        const char *revision, const char *full_fw) {
    DeviceIdentity id{};
    snprintf(id.vendor, sizeof id.vendor, "%s", vendor);
    snprintf(id.full_model, sizeof id.full_model, "%s", model);
    snprintf(id.serial, sizeof id.serial, "%s", serial);
    snprintf(id.revision, sizeof id.revision, "%s", revision);
    snprintf(id.full_fw, sizeof id.full_fw, "%s", full_fw);
    return id;
}

TEST(ListingLine, ColumnsAndFirmwareChoice) {
    DeviceIdentity ata =
        identity("ATA     ", "QSTOR ACME-7200 SATA HYBRID", "QS7X0042", ".B07", "QA12.B07");
    DeviceIdentity scsi = identity("NORTHVL ", "NV-SAS10K", "NV000077", "N4R2", "N4R2");
    DeviceIdentity odd = identity("V", "M",
                                  "A\x01"
                                  "B\x7f"
                                  "\x80",
                                  "R", "F");
    struct Case {
        const char *what;
        const DeviceIdentity &id;
        uint8_t mode;
        int32_t tmc;
        std::string line;
    };
    const Case cases[] = {
        {"ATA drive, long model printed whole", ata, 1, 0,
         "ATA       /dev/sg1 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: .B07\n"},
        {"extended listing without the code", ata, 2, 0,
         "ATA       /dev/sg1 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: .B07\n"},
        {"extended listing with another code", ata, 3, 31846,
         "ATA       /dev/sg1 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: .B07\n"},
        {"extended listing with the code", ata, 2, 31847,
         "ATA       /dev/sg1 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: QA12.B07\n"},
        {"both listings with the code", ata, 3, 31847,
         "ATA       /dev/sg1 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: QA12.B07\n"},
        {"plain listing ignores the code", ata, 1, 31847,
         "ATA       /dev/sg1 MN: QSTOR ACME-7200 SATA HYBRID SN: QS7X0042 FW: .B07\n"},
        {"short fields padded", scsi, 1, 0,
         "NORTHVL   /dev/sg1 MN: NV-SAS10K            SN: NV000077 FW: N4R2\n"},
        {"control characters shown as ?", odd, 1, 0,
         "V         /dev/sg1 MN: M                    SN: A?B?\x80    FW: R\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(listing_line(c.id, "/dev/sg1", c.mode, c.tmc), c.line) << c.what;
    }
    EXPECT_STREQ(odd.serial, "A\x01"
                             "B\x7f"
                             "\x80"); // the stored serial is unchanged
}

// A directory with the given names (plain files, or directories for names ending in '/').
std::string make_dir(const std::vector<std::string> &names) {
    std::string dir = (std::filesystem::temp_directory_path() / "dlcor-unit-XXXXXX").string();
    if (mkdtemp(dir.data()) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return dir;
    }
    for (const auto &n : names) {
        if (n.back() == '/') {
            std::filesystem::create_directory(dir + "/" + n);
        } else {
            std::ofstream(dir + "/" + n).put('x');
        }
    }
    return dir;
}

TEST(DeviceDir, SgEntriesInByteOrder) {
    std::string dir =
        make_dir({"sg10", "sg2", "sg0", "sda", "Sg3", "asg0", "sg1", "sg", "sgx", "sgdir/"});
    std::vector<OwnedText> paths;
    ASSERT_EQ(scan_device_dir(dir.c_str(), &paths), 0);
    std::vector<std::string> got;
    for (const auto &p : paths) {
        got.push_back(p.get());
    }
    std::vector<std::string> want;
    for (const char *n : {"sg", "sg0", "sg1", "sg10", "sg2", "sgdir", "sgx"}) {
        want.push_back(dir + "/" + n);
    }
    EXPECT_EQ(got, want);
    std::filesystem::remove_all(dir);
}

TEST(DeviceDir, EmptyAndMissingDirectories) {
    std::string dir = make_dir({"sda", "tty0"});
    std::vector<OwnedText> paths;
    EXPECT_EQ(scan_device_dir(dir.c_str(), &paths), 0);
    EXPECT_TRUE(paths.empty());
    std::filesystem::remove_all(dir);

    CaptureStderr();
    EXPECT_EQ(scan_device_dir((dir + "/gone").c_str(), &paths), -1);
    EXPECT_EQ(GetCapturedStderr(), "scandir: No such file or directory\n");
    EXPECT_TRUE(paths.empty());
}

TEST(DeviceDir, GivenPathsAreKeptAndNothingIsScanned) {
    std::vector<OwnedText> paths;
    paths.push_back(copy_text("/dev/sg9"));
    paths.push_back(copy_text("/dev/sg1"));
    EXPECT_EQ(build_device_list(&paths), 0);
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_STREQ(paths[0].get(), "/dev/sg9");
    EXPECT_STREQ(paths[1].get(), "/dev/sg1");
}

TEST(ModelFilter, SkipsAtaDrivesAndOtherModels) {
    DeviceIdentity ata = identity("ATA     ", "NV-SAS10K", "", "", "");
    ata.is_ata = true;
    DeviceIdentity scsi = identity("NORTHVL ", "NV-SAS10K", "", "", "");
    DeviceIdentity lower = identity("NORTHVL ", "nv-sas10k", "", "", "");
    struct Case {
        const char *what;
        const char *filter; // nullptr: no -m
        const DeviceIdentity &id;
        bool passes;
        std::string out;
    };
    const Case cases[] = {
        {"no filter", nullptr, ata, true, ""},
        {"ATA drive", "NV-SAS10K", ata, false, "Skipping ATA device: /dev/sg4\n"},
        {"same model", "NV-SAS10K", scsi, true, ""},
        {"prefix only", "NV-SAS10", scsi, false, "/dev/sg4: No model number match; skipping\n"},
        {"longer filter", "NV-SAS10KX", scsi, false, "/dev/sg4: No model number match; skipping\n"},
        {"case counts", "NV-SAS10K", lower, false, "/dev/sg4: No model number match; skipping\n"},
    };
    for (const auto &c : cases) {
        RunOptions opts;
        if (c.filter != nullptr) {
            opts.model_filter = copy_text(c.filter);
        }
        CaptureStdout();
        EXPECT_EQ(passes_model_filter(opts, c.id, "/dev/sg4"), c.passes) << c.what;
        EXPECT_EQ(GetCapturedStdout(), c.out) << c.what;
    }
}

TEST(DeviceStep, RunGoesOnWithoutADownloadModule) {
    RunOptions opts;
    opts.model_filter = copy_text("X");
    DeviceIdentity id = identity("NORTHVL ", "NV-SAS10K", "", "", "");
    RunState state;
    CaptureStdout();
    StepOutcome outcome = run_device_step(opts, id, "/dev/sg4", -1, &state);
    EXPECT_EQ(GetCapturedStdout(), "/dev/sg4: No model number match; skipping\n");
    EXPECT_FALSE(outcome.end_run);
    EXPECT_EQ(state.run_status, 0);
}

// A node that sysfs does not know: the host's view is not read, which is said once a run, and
// --only-idle cannot show the drive idle; the record's in_use stays null.
TEST(HostCheck, ViewNotReadIsSaidOnceAndRefusedByOnlyIdle) {
    RunOptions opts;
    opts.preflight = true;
    opts.only_idle = true;
    RunState state;
    std::string disk = "x";
    CaptureStdout();
    CaptureStderr();
    EXPECT_FALSE(check_host_use(opts, "/dev/sg999998", -1, "fw.img", &state, &disk));
    EXPECT_FALSE(check_host_use(opts, "/dev/sg999999", -1, "fw.img", &state, &disk));
    std::string out = GetCapturedStdout();
    EXPECT_EQ(GetCapturedStderr(),
              "WARNING: the host's view of the drives could not be read "
              "(/sys/class/scsi_generic/sg999998: No such file or directory)\n");
    EXPECT_EQ(out.substr(out.find('\n') + 1),
              "/dev/sg999999: would not send fw.img: the host's view of the drive could not be "
              "read: /sys/class/scsi_generic/sg999999: No such file or directory (--only-idle)\n");
    EXPECT_EQ(disk, "");
    EXPECT_FALSE(state.device.in_use);
    EXPECT_EQ(state.run_status, 2);
}

TEST(CloseCurrentDevice, ClosesOnceAndForgetsTheHandle) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    current_device_fd = fds[0];
    close_current_device();
    EXPECT_EQ(current_device_fd, -1);
    errno = 0;
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    close_current_device(); // nothing open: nothing closed
    EXPECT_EQ(current_device_fd, -1);
    EXPECT_NE(fcntl(fds[1], F_GETFD), -1);
    close(fds[1]);
}

} // namespace
