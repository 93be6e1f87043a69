#include "sg/command.h"
#include "sg/identify.h"

#include "hex_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// A 512-byte area with text placed at offset, byte for byte as the drive would send it.
Bytes area_with(int offset, const std::string &raw, Bytes area = Bytes(IDENTIFY_DATA_LEN, 0)) {
    std::memcpy(area.data() + offset, raw.data(), raw.size());
    return area;
}

TEST(AtaWhitespace, TheFiveBytesOnly) {
    for (int c = 0; c < 256; ++c) {
        bool expected = c == 0x09 || c == 0x0A || c == 0x0B || c == 0x0D || c == 0x20;
        EXPECT_EQ(is_ata_string_whitespace(static_cast<uint8_t>(c)), expected) << c;
    }
}

TEST(ExtractModel, TrimAndPairSwap) {
    const std::string spaces40(40, ' ');
    struct Case {
        const char *what;
        std::string raw; // IDENTIFY bytes 54-93 as sent, pairs swapped
        std::string model;
    };
    const Case cases[] = {
        {"pairs swapped, trailing blanks", "OMED L1X" + spaces40.substr(8), "MODEL X1"},
        {"leading blanks", "  M DOLE" + spaces40.substr(8), "MODEL"},
        {"blank between words kept", "BAC  D" + spaces40.substr(6), "AB CD"},
        {"tab, line feed and CR trimmed, form feed kept",
         std::string("X\t\fY\r\n") + spaces40.substr(6), "XY\f"},
        {"vertical tab trimmed at the front", std::string("\v\vXY") + spaces40.substr(4), "YX"},
        {"NUL ends the text", std::string("BAC\0 D", 6) + spaces40.substr(6), "AB"},
        {"only blanks", spaces40, ""},
        {"nothing transferred", std::string(40, '\0'), ""},
    };
    for (const auto &c : cases) {
        Bytes area = area_with(54, c.raw);
        char blank_and_buf[FULL_MN_MIN_LEN + 1] = {' '}; // the trim stays inside the buffer
        char *buf = blank_and_buf + 1;
        int n = extract_model(area.data(), buf);
        EXPECT_EQ(std::string(buf), c.model) << c.what;
        EXPECT_EQ(n, static_cast<int>(c.model.size())) << c.what;
        EXPECT_EQ(buf[40], '\0') << c.what;
        EXPECT_EQ(blank_and_buf[0], ' ') << c.what;
    }
}

TEST(ExtractModel, FullFortyCharacters) {
    std::string raw;
    for (int i = 0; i < 20; ++i) {
        raw += static_cast<char>('a' + i % 26);
        raw += static_cast<char>('A' + i % 26);
    }
    Bytes area = area_with(54, raw);
    char buf[FULL_MN_MIN_LEN] = {};
    EXPECT_EQ(extract_model(area.data(), buf), 40);
    EXPECT_EQ(std::string(buf, 4), "AaBb");
}

TEST(ExtractModel, RealSataDrive) {
    HexFixture fx = load_hex_fixture("identify_ckcond_sg0.hex");
    ASSERT_EQ(fx.data.size(), 512u);
    char buf[FULL_MN_MIN_LEN] = {};
    EXPECT_EQ(extract_model(fx.data.data(), buf), 27);
    EXPECT_STREQ(buf, "QSTOR ACME-7200 SATA HYBRID");
}

TEST(DottedRequest, ChosenByTheLetterPInWord137) {
    EXPECT_TRUE(wants_dotted_fw_request(area_with(275, "P").data()));
    EXPECT_FALSE(wants_dotted_fw_request(area_with(275, "p").data()));
    EXPECT_FALSE(wants_dotted_fw_request(area_with(274, "P").data()));
    EXPECT_FALSE(wants_dotted_fw_request(load_hex_fixture("identify_ckcond_sg0.hex").data.data()));
}

TEST(DottedRequest, FourFieldsADotAndTheSuffix) {
    struct Case {
        const char *what;
        std::string text;   // answer bytes 0-39
        std::string suffix; // answer bytes 464-467
        std::string stored; // the buffer up to the count, NULs included
    };
    const Case cases[] = {
        {"fifth field dropped", "1.2.3.4.5", "AB  ", "1.2.3.4.AB"},
        {"fewer dots, blank suffix", "1.2.3", "    ", "1.2.3"},
        {"whitespace dropped anywhere", "1 .2\t.3\r\n", " X\v ", "1.2.3.X"},
        {"NULs in the suffix are stored", "A.B", std::string(4, '\0'),
         std::string("A.B.\0\0\0\0", 8)},
        {"dots alone", "......", "Z   ", "....Z"},
        {"empty text, suffix still joined", "", "Q1  ", ".Q1"},
        {"forty bytes, no NUL, no suffix", "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ0123456789abc", "    ",
         "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ0123456789abc"},
        {"byte 40 is past the text", "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ0123456789abcX", "    ",
         "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ0123456789abc"},
        {"forty bytes and a full suffix", "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ0123456789abc", "WXYZ",
         "ABCDEFGHIJ.KLMNOPQRSTUVWXYZ0123456789abc.WXYZ"},
    };
    for (const auto &c : cases) {
        Bytes area = area_with(464, c.suffix, area_with(0, c.text));
        char buf[47] = {};
        int n = assemble_dotted_fw(area.data(), buf, sizeof buf);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max(n, 0))), c.stored) << c.what;
        EXPECT_EQ(n, static_cast<int>(c.stored.size())) << c.what;
        EXPECT_EQ(buf[45], '\0') << c.what;
    }
}

TEST(DottedRequest, RealDriveAnswersWithIdentifyAgain) {
    // The drive ignores the request: byte 1 of its IDENTIFY data ends the text after '@',
    // and the four zero bytes at 464 are stored as a suffix.
    HexFixture fx = load_hex_fixture("fwreq_dotted_sg0.hex");
    char buf[47] = {};
    EXPECT_EQ(assemble_dotted_fw(fx.data.data(), buf, sizeof buf), 6);
    EXPECT_EQ(std::string(buf, 6), std::string("@.\0\0\0\0", 6));
}

TEST(PlainRequest, KeptRevisionOrTheAnswerText) {
    const uint8_t word0[2] = {0x40, 0x00};
    struct Case {
        const char *what;
        std::string kept_fw; // IDENTIFY bytes 46-53
        Bytes answer;
        std::string stored;
    };
    const Case cases[] = {
        {"drive ignores the request", "1A2B3C  ", area_with(0, std::string("\x40\x00", 2)),
         "A1B2C3"},
        {"drive answers with its own text", "1A2B3C  ",
         area_with(0, std::string("V1.0 X7\0ZZ", 10)), "V1.0X7"},
        {"forty bytes of text", "1A2B3C  ",
         area_with(0, "0123456789012345678901234567890123456789XYZ"),
         "0123456789012345678901234567890123456789"},
        {"whitespace in the kept revision dropped", "\tA B\r\n  ", area_with(0, "@"), "AB"},
        // Both bytes of word 0 must match for the answer to be IDENTIFY data again.
        {"text that begins like word 0", "1A2B3C  ", area_with(0, "@1.0"), "@1.0"},
        {"text of one character", "1A2B3C  ", area_with(0, "X"), "X"},
    };
    for (const auto &c : cases) {
        char buf[47] = {};
        IdentifyFirmware kept{{word0[0], word0[1]}, {}};
        std::memcpy(kept.firmware, c.kept_fw.data(), sizeof kept.firmware);
        int n = assemble_plain_fw(kept, c.answer.data(), buf, sizeof buf);
        EXPECT_EQ(std::string(buf, static_cast<size_t>(std::max(n, 0))), c.stored) << c.what;
        EXPECT_EQ(n, static_cast<int>(c.stored.size())) << c.what;
    }
}

TEST(PlainRequest, RealDriveRevision) {
    HexFixture id = load_hex_fixture("identify_ckcond_sg0.hex");
    HexFixture answer = load_hex_fixture("fwreq_plain_sg0.hex");
    char buf[47] = {};
    EXPECT_EQ(
        assemble_plain_fw(identify_firmware(id.data.data()), answer.data.data(), buf, sizeof buf),
        8);
    EXPECT_STREQ(buf, "QA12.B07");
}

TEST(NoDataTransferred, EmptyModelAndEightNulRevision) {
    // Nothing transferred: every answer is the cleared area, so the plain path sees word 0
    // unchanged and stores the eight NUL bytes of the kept revision.
    Bytes area(IDENTIFY_DATA_LEN, 0);
    char model[FULL_MN_MIN_LEN] = {};
    EXPECT_EQ(extract_model(area.data(), model), 0);
    EXPECT_STREQ(model, "");
    ASSERT_FALSE(wants_dotted_fw_request(area.data()));
    char fw[47] = {};
    EXPECT_EQ(assemble_plain_fw(identify_firmware(area.data()), area.data(), fw, sizeof fw), 8);
    EXPECT_STREQ(fw, "");
}

TEST(FirmwareAssembly, NeverWritesTheLastByteOfAShortBuffer) {
    Bytes area = area_with(464, "WXYZ", area_with(0, std::string(40, 'A')));
    std::array<char, 12> buf{};
    int n = assemble_dotted_fw(area.data(), buf.data(), 10);
    EXPECT_EQ(std::string(buf.data(), static_cast<size_t>(std::max(n, 0))), std::string(9, 'A'));
    EXPECT_EQ(buf[9], '\0');
    EXPECT_EQ(buf[10], '\0');
}

// The operations that talk to a drive: only their refusals are checked here, with a
// descriptor that is not open, so that any command that did go out fails loudly in send_io.
TEST(IdentifyOperations, ShortBuffersAreRefusedBeforeAnythingIsSent) {
    uint8_t inq[300];
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_inq(-1, inq, 95, 0), -1);
    EXPECT_EQ(send_inq(-1, inq, -96, 0x80), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(
        testing::internal::GetCapturedStdout(),
        "send_inq: Error INQ command requires 96 byte size return data buffer 95 size given\n"
        "send_inq: Error INQ command requires 96 byte size return data buffer -96 size given\n");

    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_full_mn(-1, buf, 40, true), -1);
    EXPECT_EQ(get_full_mn(-1, nullptr, 41, true), -1);
    EXPECT_EQ(get_full_mn(-1, buf, -1, true), -1);
    EXPECT_EQ(get_full_fw(-1, buf, 45, true), -1);
    EXPECT_EQ(get_full_fw(-1, nullptr, 46, true), -1);
    EXPECT_EQ(reread_full_fw(-1, buf, 45, true), -1); // refused without a word
    EXPECT_EQ(reread_full_fw(-1, nullptr, 46, true), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "get_full_mn: pdata must be a valid pointer to a buffer of at least 41 bytes"
              "get_full_mn: pdata must be a valid pointer to a buffer of at least 41 bytes"
              "get_full_mn: pdata must be a valid pointer to a buffer of at least 41 bytes"
              "get_full_fw: pdata must be a valid pointer to a buffer of at least 46 bytes"
              "get_full_fw: pdata must be a valid pointer to a buffer of at least 46 bytes");
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x'));
}

TEST(IdentifyOperations, DriveThatIsNotAtaGetsNothingSent) {
    char buf[64];
    std::memset(buf, 'x', sizeof buf);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(get_full_mn(-1, buf, 41, false), -1);
    EXPECT_EQ(get_full_fw(-1, buf, 47, false), -1);
    EXPECT_EQ(reread_full_fw(-1, buf, 47, false), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, 'x'));
}

TEST(IdentifyOperations, SmallestAcceptedLengthsReachTheTransport) {
    uint8_t inq[96];
    char mn[41];
    char fw[46];
    uint8_t identify[IDENTIFY_DATA_LEN];
    std::memset(mn, 'x', sizeof mn);
    std::memset(fw, 'x', sizeof fw);
    std::memset(identify, 'x', sizeof identify);
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_inq(-1, inq, 96, 0), -1);
    EXPECT_EQ(get_full_mn(-1, mn, 41, true, identify), -1);
    EXPECT_EQ(get_full_fw(-1, fw, 46, true), -1);
    EXPECT_EQ(reread_full_fw(-1, fw, 46, true), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "send_io: Bad file descriptor\n"
                                                      "send_io: Bad file descriptor\n"
                                                      "send_io: Bad file descriptor\n"
                                                      "send_io: Bad file descriptor\n");
    // get_full_mn clears the buffer before sending; get_full_fw leaves it untouched when its
    // first command fails.
    EXPECT_EQ(std::string(mn, sizeof mn), std::string(sizeof mn, '\0'));
    // The IDENTIFY area of a drive that did not answer states nothing.
    EXPECT_EQ(std::string(identify, identify + sizeof identify),
              std::string(sizeof identify, '\0'));
    EXPECT_EQ(std::string(fw, sizeof fw), std::string(sizeof fw, 'x'));
}

} // namespace

// Real scsi_debug answers VPD 80h with 9 bytes (resid 87) and the driver hands back the rest
// of the 96-byte buffer as the previous INQUIRY left it: "16000" followed by "inu". Whatever
// the answer did not reach keeps what the buffer held before the command.
TEST(KeepUnreachedBytes, StaleBytesBehindAShortOrRefusedAnswer) {
    const uint8_t page[] = {0x00, 0x80, 0x00, 0x05, '1', '6', '0', '0', '0'};
    const struct {
        const char *what;
        Reply reply;
        uint32_t transferred;
        size_t kept; // bytes of the answer that stay; the rest read as before
    } table[] = {
        {"short answer (resid 87)", Reply::answered, 9, 9},
        {"whole answer", Reply::answered, 96, 96},
        {"nothing transferred", Reply::answered, 0, 0},
        {"refused, with bytes the driver copied back", Reply::declined, 96, 0},
        {"lost", Reply::lost, 96, 0},
    };
    for (const auto &row : table) {
        uint8_t before[96] = {};
        uint8_t buf[96];
        memset(buf, 'x', sizeof buf); // the stale bounce buffer
        memcpy(buf, page, sizeof page);
        ReadReply r{};
        r.reply = row.reply;
        r.facts.transferred = row.transferred;
        keep_unreached_bytes(buf, before, sizeof buf, r);
        for (size_t i = 0; i < sizeof buf; ++i) {
            uint8_t want = i >= row.kept ? 0 : (i < sizeof page ? page[i] : 'x');
            ASSERT_EQ(buf[i], want) << row.what << ", byte " << i;
        }
    }
}
