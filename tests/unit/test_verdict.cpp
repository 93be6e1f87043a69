// The verdicts on finished commands: the real stack's answers in tests/data judged as
// identification and as download commands, the identification rule's cases beyond them,
// the Count check after a segmented DOWNLOAD MICROCODE, and the reason text with its names.
#include "sg/verdict.h"

#include "sg/unit_ready.h"

#include "finished_command.h"
#include "hex_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// The request as send_io leaves it after the captured answer.
CommandFacts facts_of_capture(const HexFixture &fx, Bytes &cdb) {
    cdb = fx.cdb;
    Answer a{fx.description.c_str(),
             0,
             static_cast<uint8_t>(fx.fields.at("masked_status")),
             static_cast<uint16_t>(fx.fields.at("host_status")),
             static_cast<uint16_t>(fx.fields.at("driver_status")),
             static_cast<int>(fx.fields.at("resid")),
             fx.sense,
             false,
             nullptr};
    uint32_t data_len = fx.data.empty() ? 4096 : static_cast<uint32_t>(fx.data.size());
    return classify_command(
        0, finished_command(a, cdb.data(), static_cast<uint8_t>(cdb.size()), data_len));
}

TEST(Verdict, RealStackAnswers) {
    const struct {
        const char *file;
        Reply reply;
        bool download_fails; // judged as the download command it is (WRITE BUFFER, DLMC)
    } cases[] = {
        // QEMU ends IDENTIFY with status 58h: libata says ABORTED COMMAND, the data arrived.
        {"identify_ckcond_sg0.hex", Reply::answered, false},
        {"fwreq_plain_sg0.hex", Reply::answered, false},
        {"fwreq_dotted_sg0.hex", Reply::answered, false},
        {"identify_on_scsi_sg1.hex", Reply::declined, false},
        {"inquiry_std_sg0.hex", Reply::answered, false},
        {"inquiry_vpd80_sg2.hex", Reply::answered, false},
        {"tur_ua_sg2.hex", Reply::declined, false},
        {"dlmc07_abort_sg0.hex", Reply::declined, true},
        {"wb05_libata_sg0.hex", Reply::declined, true},
        {"wb05_ok_sg2.hex", Reply::answered, false},
        // The activations: scsi_debug does nothing and says GOOD; QEMU aborts, as a drive
        // with nothing staged does.
        {"wb0f_ok_sg2.hex", Reply::answered, false},
        {"dlmc0f_abort_sg0.hex", Reply::declined, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        Bytes cdb;
        CommandFacts f = facts_of_capture(load_hex_fixture(c.file), cdb);
        EXPECT_EQ(judge_identification(f), c.reply);
        EXPECT_EQ(reports_unit_attention(f), std::string(c.file) == "tur_ua_sg2.hex");
        // The rule reads the answer, not the command: any ATA abort would refuse an activation.
        EXPECT_EQ(refuses_activation(f), std::string(c.file).find("_abort_") != std::string::npos);
        if (cdb[0] == 0x3B) {
            EXPECT_EQ(judge_write_buffer_command(f).failed, c.download_fails);
        } else if (cdb.size() == 12 && cdb[9] == ATA_DOWNLOAD_MICROCODE) {
            EXPECT_EQ(judge_ata_download_command(f).failed, c.download_fails);
        }
    }
}

// Fixed sense with VALID set: the SAT layout of newer kernels, registers at bytes 3-6.
Bytes sat_fixed(uint8_t key, uint8_t asc, uint8_t ascq, uint8_t error, uint8_t status) {
    return {0xF0, 0x00, key,  error, status, 0x40, 0x01, 0x0a, 0x00,
            0x00, 0x00, 0x00, asc,   ascq,   0x00, 0x00, 0x00, 0x00};
}

const Bytes k_unit_attention = {0x70, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x0a, 0x00,
                                0x00, 0x00, 0x00, 0x3f, 0x01, 0x00, 0x00, 0x00, 0x00};

TEST(Verdict, IdentificationRule) {
    const struct {
        Answer a;
        uint8_t opcode;
        Reply reply;
    } cases[] = {
        {{"answered, nothing moved", 0, 0x00, 0, 0, 512, {}, false, nullptr},
         0xA1,
         Reply::answered},
        {{"transport failure", -1, 0x00, 0, 0, 0, {}, false, nullptr}, 0xA1, Reply::lost},
        {{"time-out", 0, 0x00, 3, 0, 512, {}, false, nullptr}, 0x12, Reply::lost},
        {{"host error", 0, 0x00, 7, 0, 0, {}, false, nullptr}, 0x12, Reply::lost},
        {{"driver error", 0, 0x00, 0, 4, 0, {}, false, nullptr}, 0x12, Reply::lost},
        {{"BUSY", 0, 0x04, 0, 0, 0, {}, false, nullptr}, 0xA1, Reply::lost},
        {{"CONDITION MET", 0, 0x02, 0, 0, 0, {}, false, nullptr}, 0x12, Reply::lost},
        {{"INQUIRY refused", 0, 0x01, 0, 8, 0, k_unit_attention, false, nullptr},
         0x12,
         Reply::declined},
        {{"registers with ERR", 0, 0x01, 0, 8, 0, ata_return(1, 0, 0x1d, 0x04, 0x51), false,
          nullptr},
         0xA1,
         Reply::declined},
        {{"registers with DF", 0, 0x01, 0, 8, 0, ata_return(1, 0, 0x1d, 0x00, 0x70), false,
          nullptr},
         0x85,
         Reply::declined},
        {{"clean registers, ILLEGAL REQUEST 21h/04h", 0, 0x01, 0, 8, 0,
          sat_fixed(5, 0x21, 0x04, 0x00, 0x58), false, nullptr},
         0xA1,
         Reply::answered},
        {{"clean registers, RECOVERED ERROR 00h/1Dh", 0, 0x01, 0, 8, 0,
          sat_fixed(1, 0x00, 0x1d, 0x00, 0x50), false, nullptr},
         0xA1,
         Reply::answered},
        {{"pass-through, unit attention, no registers", 0, 0x01, 0, 8, 0, k_unit_attention, false,
          nullptr},
         0xA1,
         Reply::declined},
        {{"pass-through, CHECK CONDITION without sense", 0, 0x01, 0, 8, 0, {}, false, nullptr},
         0xA1,
         Reply::declined},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.a.what);
        uint8_t cdb[12] = {c.opcode};
        SgRequest req = finished_command(c.a, cdb, 12, 512);
        req.io_errno = c.a.send_result < 0 ? EIO : 0;
        EXPECT_EQ(judge_identification(classify_command(c.a.send_result, req)), c.reply);
    }
}

// TEST UNIT READY after new microcode (a failed ioctl's send_result: minus its errno).
TEST(Verdict, ReadinessOfADriveComingBack) {
    const Bytes not_ready = {0x70, 0, 0x02, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x04, 0x01, 0, 0, 0, 0};
    const Bytes illegal = {0x70, 0, 0x05, 0, 0, 0, 0, 0x0a, 0, 0, 0, 0, 0x20, 0x00, 0, 0, 0, 0};
    const std::pair<Answer, Readiness> cases[] = {
        {{"GOOD", 0, 0x00, 0, 0, 0, {}, false, nullptr}, Readiness::ready},
        {{"unit attention", 0, 0x01, 0, 8, 0, k_unit_attention, false, nullptr},
         Readiness::attention},
        {{"NOT READY 04h/01h", 0, 0x01, 0, 8, 0, not_ready, false, nullptr}, Readiness::waiting},
        {{"the drive's own refusal", 0, 0x01, 0, 8, 0, illegal, false, nullptr}, Readiness::ready},
        {{"BUSY", 0, 0x04, 0, 0, 0, {}, false, nullptr}, Readiness::waiting},
        {{"time-out", 0, 0x00, 3, 0, 0, {}, false, nullptr}, Readiness::waiting},
        {{"DID_BUS_BUSY", 0, 0x00, 2, 0, 0, {}, false, nullptr}, Readiness::waiting},
        {{"CHECK CONDITION without sense", 0, 0x01, 0, 0, 0, {}, false, nullptr},
         Readiness::waiting},
        {{"DID_NO_CONNECT", 0, 0x00, 1, 0, 0, {}, false, nullptr}, Readiness::gone},
        {{"ENODEV", -ENODEV, 0x00, 0, 0, 0, {}, false, nullptr}, Readiness::gone},
        {{"ENXIO", -ENXIO, 0x00, 0, 0, 0, {}, false, nullptr}, Readiness::gone},
        {{"EIO", -EIO, 0x00, 0, 0, 0, {}, false, nullptr}, Readiness::waiting},
    };
    for (const auto &[a, readiness] : cases) {
        uint8_t cdb[6] = {};
        SgRequest req = finished_command(a, cdb, 6, 0);
        req.io_errno = -a.send_result;
        EXPECT_EQ(judge_readiness(classify_command(a.send_result, req)), readiness) << a.what;
    }
    // The pauses between two looks: from 100 ms, doubled, at most 1 s.
    uint32_t pause = 0;
    for (uint32_t want : {100u, 200u, 400u, 800u, 1000u, 1000u}) {
        EXPECT_EQ(pause = next_settle_pause_ms(pause), want);
    }
}

TEST(Verdict, MoreMicrocodeExpectedOnlyWhenCountSaysSoOfItself) {
    const struct {
        Bytes sense;
        uint8_t sent_count;
        bool more;
    } cases[] = {
        {ata_return(1, 0, 0x1d, 0, 0x50), 0x40, true},  // Count 01h after 64 blocks
        {ata_return(1, 0, 0x1d, 0, 0x50), 0x01, false}, // the count it was sent, echoed
        {{0x72, 1, 0, 0x1d, 0, 0, 0, 0x0e, 0x09, 0x0c, 0, 0, 0, 0x02, 0, 0, 0, 0, 0, 0, 0x40, 0x50},
         0x40,
         false},           // 02h: applied
        {{}, 0x40, false}, // no registers
    };
    for (const auto &c : cases) {
        uint8_t cdb[12] = {0xA1};
        SgRequest req =
            finished_command({"", 0, 0x01, 0, 8, 0, c.sense, false, nullptr}, cdb, 12, 32768);
        EXPECT_EQ(expects_more_microcode(classify_command(0, req), c.sent_count), c.more)
            << "sent " << int{c.sent_count};
    }
}

// Only a CHECK CONDITION that came back whole refuses an activation.
TEST(Verdict, ActivationRefusedByACleanCheckConditionOnly) {
    const Bytes abrt = ata_return(0xb, 0, 0, 0x04, 0x51);
    const std::pair<Answer, bool> cases[] = {
        {{"ABRT", 0, 0x01, 0, 8, 0, abrt, false, nullptr}, true},
        {{"ABRT behind a host error", 0, 0x01, 7, 8, 0, abrt, false, nullptr}, false},
        {{"ABRT with GOOD", 0, 0x00, 0, 0, 0, abrt, false, nullptr}, false},
    };
    for (const auto &[a, refused] : cases) {
        uint8_t cdb[12] = {0xA1};
        SgRequest req = finished_command(a, cdb, 12, 0);
        EXPECT_EQ(refuses_activation(classify_command(0, req)), refused) << a.what;
    }
}

TEST(Verdict, ReasonTextNamesWhatCameBack) {
    const struct {
        Answer a;
        uint8_t opcode;
        const char *text;
    } cases[] = {
        {{"unit attention", 0, 0x01, 0, 8, 0, k_unit_attention, false, nullptr},
         0x3B,
         "CHECK CONDITION, sense key 0x6 UNIT ATTENTION, ASC/ASCQ 0x3f/0x01 microcode has been "
         "changed"},
        {{"time-out", 0, 0x00, 3, 0, 32768, {}, false, nullptr},
         0x3B,
         "timed out, host status 0x3 DID_TIME_OUT, GOOD, 32768 of 32768 bytes not transferred"},
        {{"busy", 0, 0x04, 0, 0, 0, {}, false, nullptr}, 0x3B, "BUSY"},
        {{"aborted download", 0, 0x01, 0, 8, 0, ata_return(0xb, 0, 0, 0x04, 0x51), false, nullptr},
         0xA1,
         "CHECK CONDITION, sense key 0xb ABORTED COMMAND, ASC/ASCQ 0x00/0x00 no additional "
         "sense information, ATA Error 0x04 Status 0x51 Count 0x01"},
        {{"vendor sense", 0, 0x01, 0, 8, 0, {0x7E, 0, 5}, false, nullptr},
         0x3B,
         "CHECK CONDITION, 3 bytes of sense data with response code 0x7e and no sense key"},
        {{"gone", -1, 0, 0, 0, 0, {}, false, nullptr}, 0x3B, "SG_IO failed: No such device"},
        {{"driver error, a byte short", 0, 0x00, 0, 4, 1, {}, false, nullptr},
         0x3B,
         "driver status 0x4, GOOD, 1 of 32768 bytes not transferred"},
        {{"unnamed status", 0, 0x3E, 0, 0, 0, {}, false, nullptr}, 0x3B, "SCSI status 0x3e"},
        {{"no sense", 0, 0x01, 0, 0, 0, {}, false, nullptr},
         0x3B,
         "CHECK CONDITION, no sense data"},
        {{"unnamed host status", 0, 0, 0x14, 0, 0, {}, false, nullptr},
         0x3B,
         "host status 0x14 unknown, GOOD"},
    };
    for (const auto &c : cases) {
        uint8_t cdb[12] = {c.opcode};
        SgRequest req = finished_command(c.a, cdb, 12, 32768);
        req.io_errno = c.a.send_result < 0 ? ENODEV : 0;
        EXPECT_EQ(describe_answer(classify_command(c.a.send_result, req)), c.text) << c.a.what;
    }
}

} // namespace
