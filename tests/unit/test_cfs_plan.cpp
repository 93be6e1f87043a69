// Reading identity listing lines back: the columns by their fixed widths, model numbers
// with blanks and label texts inside, lines that are not listing lines, and the identity
// that a CFS run would see.
#include "listing/listing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct parse_case {
    const char *name;
    std::string line;
    const char *vendor;
    const char *device;
    const char *model;
    const char *serial;
    const char *firmware;
};

TEST(ParseListingLine, ReadsTheColumnsBack) {
    const parse_case cases[] = {
        {"padded model and serial",
         "ATA       /dev/sg0 MN: QX2000A              SN: S1       FW: A104", "ATA", "/dev/sg0",
         "QX2000A", "S1", "A104"},
        {"inner blanks kept", "ATA       /dev/sg1 MN: QX 2000  A            SN: S1       FW: A104",
         "ATA", "/dev/sg1", "QX 2000  A", "S1", "A104"},
        {"model of exactly 20",
         "ATA       /dev/sg2 MN: ABCDEFGHIJKLMNOPQRST SN: 12345678 FW: 1.2.3.4.AB", "ATA",
         "/dev/sg2", "ABCDEFGHIJKLMNOPQRST", "12345678", "1.2.3.4.AB"},
        {"model of 40, no padding",
         "ATA       /dev/sg3 MN: 0123456789012345678901234567890123456789 SN: X        FW: B",
         "ATA", "/dev/sg3", "0123456789012345678901234567890123456789", "X", "B"},
        // A model number that itself holds the serial label: the serial column is found by
        // its fixed width before the firmware label.
        {"model holding '  SN: '",
         "ATA       /dev/sg4 MN: QX  SN: 99 FW: 7      SN: ABCD     FW: C300", "ATA", "/dev/sg4",
         "QX  SN: 99 FW: 7", "ABCD", "C300"},
        // A serial number that holds the firmware label: the last label is the firmware's.
        {"serial holding ' FW: '",
         "ATA       /dev/sg5 MN: QX2000A              SN: A FW: 1  FW: B205", "ATA", "/dev/sg5",
         "QX2000A", "A FW: 1", "B205"},
        {"empty serial and firmware",
         "ATA       /dev/sg6 MN: QX2000A              SN:          FW: ", "ATA", "/dev/sg6",
         "QX2000A", "", ""},
        // The stand-in INQUIRY revision keeps its blanks; the firmware column is read to the
        // end of the line.
        {"stand-in revision with blanks",
         "ATA       /dev/sg7 MN: QX2000A              SN: S1       FW: 1.0 ", "ATA", "/dev/sg7",
         "QX2000A", "S1", "1.0 "},
        {"empty model", "ATA       /dev/sg8 MN:                      SN: S1       FW: A1", "ATA",
         "/dev/sg8", "", "S1", "A1"},
        {"SCSI vendor of 8", "CORVANE1  /dev/sg9 MN: QX9                  SN: 0000001  FW: 0001",
         "CORVANE1", "/dev/sg9", "QX9", "0000001", "0001"},
        {"device path given with -d",
         "ATA       /tmp/my disk MN: QX2000A              SN: S1       FW: A1", "ATA",
         "/tmp/my disk", "QX2000A", "S1", "A1"},
        {"control byte in the model",
         "ATA       /dev/sg0 MN: QX\t2000\x7f             SN: S1       FW: A1", "ATA", "/dev/sg0",
         "QX\t2000\x7f", "S1", "A1"},
        {"firmware of 45",
         "ATA       /dev/sg0 MN: QX2000A              SN: S1       FW: "
         "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ABCDEFGHI",
         "ATA", "/dev/sg0", "QX2000A", "S1", "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789ABCDEFGHI"},
        {"high bytes in the model",
         "ATA       /dev/sg0 MN: QX\xc3\xa9                 SN: S1       FW: A1", "ATA", "/dev/sg0",
         "QX\xc3\xa9", "S1", "A1"},
    };
    for (const parse_case &c : cases) {
        ListingLine got;
        ASSERT_TRUE(parse_listing_line(c.line, &got)) << c.name;
        EXPECT_EQ(got.vendor, c.vendor) << c.name;
        EXPECT_EQ(got.device, c.device) << c.name;
        EXPECT_EQ(got.model, c.model) << c.name;
        EXPECT_EQ(got.serial, c.serial) << c.name;
        EXPECT_EQ(got.firmware, c.firmware) << c.name;
    }
}

TEST(ParseListingLine, RefusesLinesThatAreNotListingLines) {
    const std::pair<const char *, std::string> cases[] = {
        {"banner rule", std::string(80, '=')},
        {"banner title", " Corvane Firmware Download Utility v0.2.3 Build Date: Jan  9 2013"},
        {"empty", ""},
        {"download message", "Downloading file fw/a.bin to /dev/sg0"},
        {"no firmware label", "ATA       /dev/sg0 MN: QX2000A              SN: S1      "},
        {"no model label", "ATA       /dev/sg0 QX2000A              SN: S1       FW: A1"},
        // The model column is padded to 20: a shorter one is a line cut or edited by hand.
        {"model column too short", "ATA       /dev/sg0 MN: QX2000A SN: S1       FW: A1"},
        {"model column of 19", "ATA       /dev/sg0 MN: QX2000A             SN: S1       FW: A1"},
        // The serial column is exactly 8 wide.
        {"serial column too short", "ATA       /dev/sg0 MN: QX2000A              SN: S1 FW: A1"},
        {"serial column too long",
         "ATA       /dev/sg0 MN: QX2000A              SN: S1234567890 FW: A1"},
        {"vendor column not 9", "ATA /dev/sg0 MN: QX2000A              SN: S1       FW: A1"},
        {"model longer than 40",
         "ATA       /dev/sg0 MN: 01234567890123456789012345678901234567890 SN: X        FW: B"},
        {"firmware longer than 45",
         "ATA       /dev/sg0 MN: QX2000A              SN: S1       FW: " + std::string(46, 'A')},
        {"NUL byte",
         std::string("ATA       /dev/sg0 MN: QX\0002000A             SN: S1       FW: A1", 64)},
    };
    for (const auto &c : cases) {
        ListingLine got;
        EXPECT_FALSE(parse_listing_line(c.second, &got)) << c.first;
    }
}

TEST(ListingIdentity, OnlyAtaDrivesWithoutAStandInRevisionAreLookedUp) {
    struct identity_case {
        const char *vendor;
        const char *firmware;
        int identity;
    };
    const identity_case cases[] = {
        {"ATA", "A104", LISTING_COMPLETE},
        {"ATA", "1.2.3.4.AB", LISTING_COMPLETE},
        {"ATA", "", LISTING_COMPLETE},
        {"ATAPI", "A104", LISTING_COMPLETE}, // the run compares only the first three bytes
        {"ATA", "n/a ", LISTING_INCOMPLETE},
        {"ATA", "1.0 ", LISTING_INCOMPLETE},
        {"ATA", "A\tB", LISTING_INCOMPLETE},
        {"ATA", "A\vB", LISTING_INCOMPLETE},
        {"ATA", "AB\r", LISTING_INCOMPLETE},
        {"AT", "A104", LISTING_NOT_ATA},
        {"ata", "A104", LISTING_NOT_ATA},
        {"CORVANE", "0001", LISTING_NOT_ATA},
        {"", "0001", LISTING_NOT_ATA},
    };
    for (const identity_case &c : cases) {
        ListingLine line;
        line.vendor = c.vendor;
        line.firmware = c.firmware;
        EXPECT_EQ(listing_identity(line), c.identity) << c.vendor << " / " << c.firmware;
    }
}

} // namespace
