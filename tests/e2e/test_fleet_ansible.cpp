// The Ansible rollout of contrib/ansible run for real with ansible-playbook against four
// inventory hosts on this machine, each with its own simulated drive bay and work directory:
// batches, a host whose drive keeps its revision, the stop of the rollout, a second run that
// changes nothing, a plan-only run, a listing cut short, a CFS error that stops every batch, a
// rehearsal on the controller, and the drives of a host updated side by side.
#if defined(CFS_TOOL_PATH)

#include "scene.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string k_playbook_dir = std::string(E2E_DATA_DIR) + "/../../contrib/ansible";
const std::string k_tool = CFS_TOOL_PATH;
const std::string k_dl_cor_fw = DL_COR_FW_PATH;

// The path of name in PATH, or empty.
std::string find_program(const char *name) {
    const char *path = getenv("PATH");
    std::string dirs = path != nullptr ? path : "/usr/bin:/bin";
    size_t start = 0;
    for (;;) {
        size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (end == std::string::npos) {
            return "";
        }
        start = end + 1;
    }
}

// The fleet: h1 and h2 (the first batch) update cleanly, h3 (the second batch) has a drive
// that takes its image and keeps its revision, h4 (the third batch) is never started.
struct fleet_dir {
    std::string dir;
    std::string ansible;
    std::string sgsim;
};

void write_fleet(fleet_dir *f) {
    const std::string &d = f->dir;
    ASSERT_EQ(mkdir((d + "/images").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((d + "/images/fw").c_str(), 0755), 0);
    ASSERT_EQ(run_command({f->sgsim, "mkimage", "--model", "QX2000A", "--revision", "B205",
                           d + "/images/fw/qx2000a_b205.bin"})
                  .status,
              0);
    ASSERT_EQ(run_command({f->sgsim, "mkimage", "--model", "QX4000 PRO", "--revision", "C300",
                           d + "/images/fw/qx4000_c300.bin"})
                  .status,
              0);
    write_file(d + "/map.txt", "# fleet firmware map\n"
                               "QX2000A;A1??;fw/qx2000a_b205.bin;B205\n"
                               "QX4*;C200*;fw/qx4000_c300.bin;C300*\n");
    ASSERT_EQ(run_command({k_tool, "pack", d + "/map.txt", d + "/map.cfs"}).status, 0);
    // The same map with a broken line between the two entries.
    write_file(d + "/broken.txt", "QX2000A;B1??;fw/qx2000a_b205.bin;B205\n"
                                  "QX3000;A1;fw/qx3000.bin\n"
                                  "QX4*;C200*;fw/qx4000_c300.bin;C300*\n");
    ASSERT_EQ(run_command({k_tool, "pack", d + "/broken.txt", d + "/broken.cfs"}).status, 0);

    const nlohmann::json scsi = scsi_drive("/dev/sg2", "CORVANE", "CV-SAS10K", "N4R2", "CV0001");
    const std::vector<nlohmann::json> bays[4] = {
        {sata_drive("/dev/sg0", "QX2000A", "QX0101", "A104"),
         sata_drive(
             "/dev/sg1", "QX4000 PRO", "QX0102", "C200",
             R"({"fwreq": "dotted", "fwreq_text": "{rev}.01.02.03", "fwreq_suffix": "R7"})"_json),
         scsi},
        {sata_drive("/dev/sg0", "QX2000A", "QX0201", "A104"),
         sata_drive("/dev/sg1", "QX2000A", "QX0202", "B205")},
        {sata_drive("/dev/sg0", "QX2000A", "QX0301", "A104",
                    R"({"firmware": {"mode": "keep-revision"}})"_json),
         sata_drive("/dev/sg1", "QX2000A", "QX0302", "A104",
                    R"({"block": "sdc", "mounts": {"sdc": "/srv"}})"_json)},
        {sata_drive("/dev/sg0", "QX2000A", "QX0401", "A104")},
    };
    std::string inventory = "[dl_cor_fw_fleet]\n";
    for (int i = 0; i < 4; ++i) {
        std::string host = "h" + std::to_string(i + 1);
        std::string hd = d + "/" + host;
        ASSERT_EQ(mkdir(hd.c_str(), 0755), 0);
        write_file(hd + "/bay.json", nlohmann::json{{"drives", bays[i]}}.dump(2) + "\n");
        inventory += host +
                     " ansible_connection=local ansible_python_interpreter=/usr/bin/python3"
                     " bay=" +
                     hd + "/bay.json dl_cor_fw_work_dir=" + hd +
                     "/work"
                     " dl_cor_fw_bin_dir=" +
                     hd + "/bin\n";
    }
    write_file(d + "/inventory.ini", inventory);
    // Extra variables take precedence over the inventory; the two host_ variables let an
    // inventory give one host its own CFS file or run options.
    std::string settings = "dl_cor_fw_install: copy\n";
    settings += "dl_cor_fw_local_dl_cor_fw: " + k_dl_cor_fw + "\n";
    settings += "dl_cor_fw_local_cfs_tool: " + k_tool + "\n";
    settings += "dl_cor_fw_cfs: \"{{ host_cfs | default('" + d + "/map.cfs') }}\"\n";
    settings += "dl_cor_fw_run_args: \"{{ host_run_args | default([]) }}\"\n";
    settings += "dl_cor_fw_image_dir: " + d + "/images\n";
    settings += "dl_cor_fw_results_dir: " + d + "/results\n";
    settings += "dl_cor_fw_wrapper: \"" + f->sgsim + " run {{ bay }} --\"\n";
    settings += "dl_cor_fw_rehearse_sgsim: " + f->sgsim + "\n";
    settings += "dl_cor_fw_gate_mdstat: \"{{ host_mdstat | default('') }}\"\n";
    settings += "dl_cor_fw_gate_zpool: \"\"\n";
    settings += "fleet_serial: [2, 1]\n";
    settings += "fleet_max_fail_percentage: 0\n";
    write_file(d + "/fleet.yml", settings);
}

// A copy of the inventory in which host's line ends with extra.
std::string inventory_with(const fleet_dir &f, const std::string &name, const std::string &host,
                           const std::string &extra) {
    std::string text = read_file(f.dir + "/inventory.ini");
    size_t line = text.find("\n" + host + " ") + 1;
    text.insert(text.find('\n', line), " " + extra);
    std::string path = f.dir + "/" + name;
    write_file(path, text);
    return path;
}

RunResult playbook(const fleet_dir &f, const std::vector<std::string> &args,
                   const std::string &inventory = "") {
    RunSpec spec;
    spec.argv = {f.ansible, "-i", inventory.empty() ? f.dir + "/inventory.ini" : inventory};
    spec.argv.insert(spec.argv.end(),
                     {k_playbook_dir + "/site.yml", "-e", "@" + f.dir + "/fleet.yml"});
    spec.argv.insert(spec.argv.end(), args.begin(), args.end());
    spec.env = {"ANSIBLE_CONFIG=" + k_playbook_dir + "/ansible.cfg", "ANSIBLE_NOCOLOR=1",
                "ANSIBLE_LOCAL_TEMP=" + f.dir + "/ansible-tmp",
                "ANSIBLE_REMOTE_TEMP=" + f.dir + "/ansible-tmp",
                "ANSIBLE_HOME=" + f.dir + "/.ansible"};
    spec.env.push_back("ANSIBLE_FORKS=20"); // the mode matrix's cells at once
    // A hang guard: one playbook run takes 20 to 40 s on a two-core machine that is busy
    // with other builds, and was once seen taking three minutes.
    spec.timeout_seconds = 900;
    return run_command(spec);
}

// The firmware revision of a bay's drive, from sgsim show.
std::string revision_of(const fleet_dir &f, const std::string &host, const std::string &node) {
    std::string shown = run_command({f.sgsim, "show", f.dir + "/" + host + "/bay.json"}).out;
    size_t line = shown.find(node + " ");
    if (line == std::string::npos) {
        return "(no drive " + node + ")";
    }
    size_t fw = shown.find(" FW: ", line) + 5;
    return shown.substr(fw, shown.find(' ', fw) - fw);
}

// A summary with its times (UTC, ISO 8601) replaced by a mark of the same width.
std::string summary_of(const fleet_dir &f, const std::string &rollout) {
    const std::regex time("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z");
    return std::regex_replace(read_file(f.dir + "/results/" + rollout + "/summary.txt"), time,
                              "<UTC TIME>          ");
}

// The summary of the fleet's first rollout, whether its drives go one after another or side by
// side: h3's drive takes its image and keeps its revision, so h4 (the third batch) never starts;
// h3's other drive is mounted, and the role's --only-idle refuses it.
const std::string k_first_summary =
    "dl_cor_fw rollout first: 4 host(s), 2 changed, 1 failed, 1 not started\n"
    "HOST STATUS      DEVICE   MODEL      SERIAL BEFORE           AFTER            TIME"
    "                 RESULT\n"
    "h1   changed     /dev/sg0 QX2000A    QX0101 A104             B205             "
    "<UTC TIME>           updated\n"
    "h1   changed     /dev/sg1 QX4000 PRO QX0102 C200.01.02.03.R7 C300.01.02.03.R7 "
    "<UTC TIME>           updated\n"
    "h1   changed     /dev/sg2 CV-SAS10K  CV0001 N4R2             -                "
    "<UTC TIME>           passed over\n"
    "h2   changed     /dev/sg0 QX2000A    QX0201 A104             B205             "
    "<UTC TIME>           updated\n"
    "h2   changed     /dev/sg1 QX2000A    QX0202 B205             -                "
    "<UTC TIME>           up to date\n"
    "h3   failed      /dev/sg0 QX2000A    QX0301 A104             A104             "
    "<UTC TIME>           unchanged\n"
    "h3   failed      /dev/sg1 QX2000A    QX0302 A104             -                "
    "<UTC TIME>           refused: in use: /dev/sdc mounted at /srv\n"
    "h3   failed      dl_cor_fw -c ended with status 2 (a download failed): 2 drive(s) "
    "not updated: /dev/sg0 unchanged (the drive still reports revision A104), /dev/sg1 "
    "refused (in use: /dev/sdc mounted at /srv)\n"
    "h4   not started no record\n";

// The PLAY RECAP line of a host, from its first counter on; empty when the host is absent.
std::string recap(const std::string &out, const std::string &host) {
    size_t start = out.find("PLAY RECAP");
    size_t at = out.find("\n" + host + " ", start == std::string::npos ? 0 : start);
    if (start == std::string::npos || at == std::string::npos) {
        return "";
    }
    size_t ok = out.find("ok=", at);
    return out.substr(ok, out.find('\n', ok) - ok);
}

std::string counter(const std::string &recap_line, const std::string &name) {
    size_t at = recap_line.find(name + "=");
    if (at == std::string::npos) {
        return "";
    }
    at += name.size() + 1;
    return recap_line.substr(at, recap_line.find(' ', at) - at);
}

class FleetAnsible : public ::testing::Test {
  protected:
    void SetUp() override {
        f.ansible = find_program("ansible-playbook");
        f.sgsim = sgsim_path();
        if (f.ansible.empty() || f.sgsim.empty()) {
            GTEST_SKIP() << "needs ansible-playbook (Debian's ansible-core) in PATH and the "
                            "sgsim build target";
        }
        const char *wrap = getenv("DLCOR_E2E_WRAP");
        if (wrap != nullptr && *wrap != '\0') {
            // The role starts the tools itself, outside the wrapper; the other end-to-end
            // tests run the same tools under it.
            GTEST_SKIP() << "the playbook's commands are not run under DLCOR_E2E_WRAP";
        }
        f.dir = make_temp_dir();
        write_fleet(&f);
    }
    fleet_dir f;
};

TEST_F(FleetAnsible, BatchesStopAtAHostThatKeepsItsRevisionAndASecondRunChangesNothing) {
    RunResult first = playbook(f, {"-e", "dl_cor_fw_run_id=first"});
    EXPECT_EQ(first.status, 2) << first.out << first.err;
    // The first batch is updated and reported as changed.
    EXPECT_EQ(counter(recap(first.out, "h1"), "failed"), "0") << first.out;
    EXPECT_NE(counter(recap(first.out, "h1"), "changed"), "0");
    EXPECT_EQ(counter(recap(first.out, "h2"), "failed"), "0");
    EXPECT_EQ(revision_of(f, "h1", "/dev/sg0"), "B205");
    EXPECT_EQ(revision_of(f, "h1", "/dev/sg1"), "C300");
    EXPECT_EQ(revision_of(f, "h2", "/dev/sg0"), "B205");
    // h3's drive kept its revision: the host fails and the third batch never starts.
    EXPECT_EQ(counter(recap(first.out, "h3"), "failed"), "1");
    EXPECT_EQ(revision_of(f, "h3", "/dev/sg0"), "A104");
    EXPECT_EQ(recap(first.out, "h4"), "") << "h4 was started";
    EXPECT_EQ(revision_of(f, "h4", "/dev/sg0"), "A104");
    struct stat st;
    EXPECT_NE(stat((f.dir + "/h4/work").c_str(), &st), 0);

    // Every started host's outputs are on the controller; the verdicts come from each host's
    // run record, and so does the summary of the fleet.
    const std::string results = f.dir + "/results/first";
    EXPECT_NE(read_file(results + "/h3/run.jsonl").find("\"outcome\":\"unchanged\""),
              std::string::npos);
    EXPECT_NE(read_file(results + "/h3/run.jsonl").find("\"exit_status\":2}"), std::string::npos);
    EXPECT_NE(read_file(results + "/h1/after.listing").find("FW: C300.01.02.03.R7\n"),
              std::string::npos);
    EXPECT_EQ(summary_of(f, "first"), k_first_summary);

    // The first batch again: every drive is up to date and nothing changes.
    std::string bay1 = read_file(f.dir + "/h1/bay.json");
    RunResult second = playbook(f, {"-e", "dl_cor_fw_run_id=second", "--limit", "h1,h2"});
    EXPECT_EQ(second.status, 0) << second.out << second.err;
    EXPECT_EQ(counter(recap(second.out, "h1"), "changed"), "0") << second.out;
    EXPECT_EQ(counter(recap(second.out, "h2"), "changed"), "0");
    EXPECT_EQ(read_file(f.dir + "/h1/bay.json"), bay1);
    std::string summary = read_file(f.dir + "/results/second/summary.txt");
    EXPECT_EQ(summary.substr(0, summary.find('\n')), "dl_cor_fw rollout second: 2 host(s), 2 ok");
    EXPECT_EQ(summary.find("updated"), std::string::npos) << summary;
    EXPECT_NE(read_file(f.dir + "/results/second/h1/run.err")
                  .find("The firmware on /dev/sg0 is up to date\n"),
              std::string::npos);
}

// A rehearsal runs the same batches against bays made from the hosts' listings, on the
// controller: the hosts' bays stay as they were, and it cannot know that h3's drive keeps its
// revision. Side by side (at most four runs per host, one per drive to update), the rollout
// ends as the one-run-per-host rollout does.
TEST_F(FleetAnsible, RehearsalLeavesTheHostsAloneAndDrivesSideBySideEndAsOneRunDoes) {
    std::vector<std::string> bays;
    for (const char *host : {"h1", "h2", "h3", "h4"}) {
        bays.push_back(read_file(f.dir + "/" + host + "/bay.json"));
    }
    RunResult rehearsal =
        playbook(f, {"-e", "dl_cor_fw_run_id=first", "-e", "dl_cor_fw_rehearse=true"});
    EXPECT_EQ(rehearsal.status, 0) << rehearsal.out << rehearsal.err;
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(read_file(f.dir + "/h" + std::to_string(i + 1) + "/bay.json"), bays[i]);
    }
    EXPECT_EQ(summary_of(f, "rehearsal-first"),
              "rehearsal dl_cor_fw rollout rehearsal-first: 4 host(s), 4 changed\n"
              "rehearsal HOST STATUS  DEVICE   MODEL      SERIAL BEFORE           AFTER      "
              "      TIME                 RESULT\n"
              "rehearsal h1   changed /dev/sg0 QX2000A    QX0101 A104             B205       "
              "      <UTC TIME>           updated\n"
              "rehearsal h1   changed /dev/sg1 QX4000 PRO QX0102 C200.01.02.03.R7 C200.01~02.03"
              ".R7 <UTC TIME>           updated\n"
              "rehearsal h1   changed /dev/sg2 CV-SAS10K  CV0001 N4R2             -          "
              "      <UTC TIME>           passed over\n"
              "rehearsal h2   changed /dev/sg0 QX2000A    QX0201 A104             B205       "
              "      <UTC TIME>           updated\n"
              "rehearsal h2   changed /dev/sg1 QX2000A    QX0202 B205             -          "
              "      <UTC TIME>           up to date\n"
              "rehearsal h3   changed /dev/sg0 QX2000A    QX0301 A104             B205       "
              "      <UTC TIME>           updated\n"
              "rehearsal h3   changed /dev/sg1 QX2000A    QX0302 A104             B205       "
              "      <UTC TIME>           updated\n"
              "rehearsal h4   changed /dev/sg0 QX2000A    QX0401 A104             B205       "
              "      <UTC TIME>           updated\n");

    // With h1's drives captured through its wrapper, every drive of its bay holds the captured
    // answers and the listing bay's firmware, and the rehearsal ends as before.
    RunResult captured = playbook(f, {"-e", "dl_cor_fw_run_id=cap", "-e", "dl_cor_fw_rehearse=true",
                                      "-e", "dl_cor_fw_rehearse_capture=true", "-e",
                                      "dl_cor_fw_capture_sgsim=" + f.sgsim, "--limit", "h1"});
    EXPECT_EQ(captured.status, 0) << captured.out << captured.err;
    auto cap_bay = nlohmann::json::parse(
        read_file(f.dir + "/results/rehearsal-cap/h1/rehearsal/bay.json"), nullptr, false);
    ASSERT_TRUE(cap_bay.contains("drives")) << cap_bay;
    for (const auto &d : cap_bay["drives"])
        EXPECT_TRUE(d.contains("captured") && d.contains("firmware")) << d;
    std::string want = summary_of(f, "rehearsal-first"), got = summary_of(f, "rehearsal-cap");
    EXPECT_EQ(got.substr(got.find('\n')),
              want.substr(want.find('\n'), got.size() - got.find('\n')));

    RunResult side_by_side =
        playbook(f, {"-e", "dl_cor_fw_run_id=first", "-e", "dl_cor_fw_parallel_drives=4"});
    EXPECT_EQ(side_by_side.status, 2) << side_by_side.out << side_by_side.err;
    EXPECT_EQ(summary_of(f, "first"), k_first_summary);
    // h1's two drives to update had a run each, its SCSI drive none; both runs' revisions
    // reached the bay.
    std::string runs = read_file(f.dir + "/results/first/h1/parallel.txt");
    EXPECT_EQ(runs.substr(runs.find('\n') + 1), "0 /dev/sg0\n0 /dev/sg1\n") << runs;
    EXPECT_EQ(revision_of(f, "h1", "/dev/sg0"), "B205");
    EXPECT_EQ(revision_of(f, "h1", "/dev/sg1"), "C300");
}

TEST_F(FleetAnsible, PlanOnlyFlashesNothingAndCfsOrCommandLineErrorsStopEveryBatch) {
    std::string bay4 = read_file(f.dir + "/h4/bay.json");
    RunResult planned = playbook(
        f, {"-e", "dl_cor_fw_run_id=plan", "-e", "dl_cor_fw_plan_only=true", "--limit", "h4"});
    EXPECT_EQ(planned.status, 0) << planned.out << planned.err;
    EXPECT_EQ(read_file(f.dir + "/h4/bay.json"), bay4);
    EXPECT_EQ(read_file(f.dir + "/results/plan/h4/plan.txt"),
              "/dev/sg0: download fw/qx2000a_b205.bin (image present)\n");
    EXPECT_NE(read_file(f.dir + "/results/plan/summary.txt")
                  .find("planned: download fw/qx2000a_b205.bin (image present)\n"),
              std::string::npos);

    // h4's second drive does not answer INQUIRY: dl_cor_fw -i ends there (status 3), the
    // plan of that listing names it (status 10), and the host fails with nothing flashed.
    std::string cut_bay =
        nlohmann::json{
            {"drives",
             {sata_drive("/dev/sg0", "QX2000A", "QX0401", "A104"),
              sata_drive("/dev/sg1", "QX2000A", "QX0402", "A104",
                         R"({"faults": [{"on": "inquiry", "kind": "errno", "errno": 5}]})"_json)}}}
            .dump(2) +
        "\n";
    write_file(f.dir + "/h4/cut.json", cut_bay);
    RunResult cut = playbook(f, {"-e", "dl_cor_fw_run_id=cut", "--limit", "h4"},
                             inventory_with(f, "cut.ini", "h4", "bay=" + f.dir + "/h4/cut.json"));
    EXPECT_EQ(cut.status, 2) << cut.out << cut.err;
    EXPECT_EQ(read_file(f.dir + "/results/cut/h4/plan.txt"),
              "/dev/sg0: download fw/qx2000a_b205.bin (image present)\n"
              "/dev/sg1: the listing stops here: the device did not answer INQUIRY, and no "
              "drive after it is listed or planned\n");
    EXPECT_NE(cut.out.find("the drive listing stops at /dev/sg1 (dl_cor_fw -i status 3)"),
              std::string::npos);
    EXPECT_EQ(read_file(f.dir + "/h4/cut.json"), cut_bay);

    // Failures are allowed (h1 and h2 are the first batch, h3 the second), yet h1's plan
    // reaches the syntax error on line 2 of its CFS file: a CFS error stops the whole
    // rollout, so h3 is not started (h2, in the same batch, is done).
    std::string bay3 = read_file(f.dir + "/h3/bay.json");
    RunResult stopped =
        playbook(f,
                 {"-e", "dl_cor_fw_run_id=stopped", "-e", "fleet_max_fail_percentage=100",
                  "--limit", "h1,h2,h3"},
                 inventory_with(f, "broken.ini", "h1", "host_cfs=" + f.dir + "/broken.cfs"));
    EXPECT_EQ(stopped.status, 2) << stopped.out << stopped.err;
    EXPECT_NE(stopped.out.find("the update run would end at a syntax error"), std::string::npos)
        << stopped.out;
    EXPECT_EQ(counter(recap(stopped.out, "h1"), "failed"), "1") << stopped.out;
    EXPECT_EQ(counter(recap(stopped.out, "h2"), "failed"), "0");
    EXPECT_EQ(recap(stopped.out, "h3"), "") << "h3 was started";
    EXPECT_EQ(read_file(f.dir + "/h3/bay.json"), bay3);
    EXPECT_EQ(revision_of(f, "h1", "/dev/sg0"), "A104");
    EXPECT_EQ(read_file(f.dir + "/results/stopped/h1/plan.txt"),
              "/dev/sg0: syntax error in broken.cfs line 2: the run ends here with status 1\n"
              "/dev/sg1: not reached (the run ends at the syntax error)\n"
              "/dev/sg2: not reached (the run ends at the syntax error)\n");
    std::string summary = read_file(f.dir + "/results/stopped/summary.txt");
    EXPECT_EQ(summary.substr(0, summary.find('\n')),
              "dl_cor_fw rollout stopped: 3 host(s), 1 changed, 1 fatal, 1 not started");

    // dl_cor_fw -c itself ends with status 1 on h1 (an option it does not know): the same.
    RunResult refused =
        playbook(f,
                 {"-e", "dl_cor_fw_run_id=refused", "-e", "fleet_max_fail_percentage=100",
                  "--limit", "h1,h2,h3"},
                 inventory_with(f, "refused.ini", "h1", "host_run_args='[\"--no-such-option\"]'"));
    EXPECT_EQ(refused.status, 2) << refused.out << refused.err;
    EXPECT_NE(refused.out.find("dl_cor_fw -c ended with status 1 (command-line or CFS error)"),
              std::string::npos)
        << refused.out;
    EXPECT_EQ(counter(recap(refused.out, "h1"), "failed"), "1");
    EXPECT_EQ(counter(recap(refused.out, "h2"), "failed"), "0");
    EXPECT_EQ(recap(refused.out, "h3"), "") << "h3 was started";
    EXPECT_EQ(read_file(f.dir + "/h3/bay.json"), bay3);
    EXPECT_EQ(revision_of(f, "h1", "/dev/sg0"), "A104");
}

// The maintenance window finds each staged drive by its name wherever it answers now: m1's
// drive, staged at sg0, answers at sg3 after a renumbering and another drive holds sg0; m2's
// drive is gone. m1's drive is activated at sg3, nothing else is; m2 fails.
TEST_F(FleetAnsible, ActivationWindowFollowsTheDriveNotItsNode) {
    const std::string &d = f.dir, bin = k_dl_cor_fw.substr(0, k_dl_cor_fw.rfind('/'));
    std::string inventory = "[dl_cor_fw_fleet]\n";
    for (const std::string host : {"m1", "m2"}) {
        const std::string hd = d + "/" + host, rec = d + "/results/staged/" + host;
        ASSERT_EQ(run_command({"mkdir", "-p", hd, rec}).status, 0);
        auto drive = [&](const std::string &n) {
            return sata_drive("/dev/sg0", "QX2000A", host + n, "A104",
                              {{"wwn", "5000c5000000" + n}});
        };
        write_file(hd + "/bay.json", nlohmann::json{{"drives", {drive("0001")}}}.dump());
        RunSpec stage;
        stage.argv = {f.sgsim, "run",          hd + "/bay.json", "--",       k_dl_cor_fw,
                      "-c",    d + "/map.cfs", "--stage",        "--record", rec + "/run.jsonl"};
        stage.cwd = d + "/images";
        ASSERT_EQ(run_command(stage).status, 0);
        nlohmann::json bay = nlohmann::json::parse(read_file(hd + "/bay.json"));
        bay["drives"][0]["node"] = "/dev/sg3";
        bay["drives"] = host == "m1" ? nlohmann::json{drive("0002"), bay["drives"][0]}
                                     : nlohmann::json{drive("0002")};
        bay["trace"] = "bay.trace";
        write_file(hd + "/bay.json", bay.dump());
        inventory += host +
                     " ansible_connection=local ansible_python_interpreter=/usr/bin/python3 "
                     "bay=" +
                     hd + "/bay.json dl_cor_fw_work_dir=" + hd + "/work dl_cor_fw_bin_dir=" + bin +
                     "\n";
    }
    write_file(d + "/window.ini", inventory);
    RunResult r = playbook(f,
                           {"-e", "dl_cor_fw_run_id=window", "-e", "dl_cor_fw_activate=true", "-e",
                            "dl_cor_fw_staged_run=staged"},
                           d + "/window.ini");
    EXPECT_EQ(r.status, 2) << r.out << r.err;
    auto record = [&](const char *host) {
        return nlohmann::json::parse(read_file(d + "/results/window/" + host + "/record.json"));
    };
    EXPECT_EQ(record("m1")["status"].dump() + record("m1")["drives"][0]["device"].dump(),
              "\"changed\"\"/dev/sg3\"");
    EXPECT_EQ(record("m2")["reason"], "1 drive(s) not activated: /dev/sg0 not activated (not "
                                      "found on the host: no node answers as wwn 5000c5000000"
                                      "0001 (staged at /dev/sg0))");
    EXPECT_EQ(nlohmann::json::parse(read_file(d + "/m1/bay.json"))["drives"][1]["revision"],
              "B205");
    // No activation (DOWNLOAD MICROCODE 0Fh) reached any other drive.
    EXPECT_EQ(read_file(d + "/m1/bay.trace").find("{\"node\":\"/dev/sg0\",\"cdb\":\"a106200f"),
              std::string::npos);
    EXPECT_EQ(read_file(d + "/m2/bay.trace").find("a106200f"), std::string::npos);
}

// Download and activation commands in a bay's trace (its system log lines left out).
int sent(const fleet_dir &f, const std::string &trace) {
    std::string shown = run_command({f.sgsim, "trace", trace}).out;
    const std::regex command("\n#[0-9]+ \\S+ +(ATA PASS-THROUGH.*DOWNLOAD MICROCODE|WRITE BUFFER)");
    return static_cast<int>(std::distance(std::sregex_iterator(shown.begin(), shown.end(), command),
                                          std::sregex_iterator()));
}

// The mode matrix: each play (update, stage, activate) in each mode (normal, plan only,
// rehearse, check) is a host whose bay traces every command, in two playbook runs (check
// mode is the whole run's). A mode that promises no change sends no download or activation
// command to a host's drive, the normal cells do send (so the trace would show it), and a
// rehearsal sends them to its own bay. The same run holds the outcome table's new row
// (unverified fails the host) and the health gates: a degraded md array and a gate command
// failing before, a gate command failing once the drives are done.
TEST_F(FleetAnsible, EveryPlayHonoursEveryModeAndOutcomesAndGatesDecideTheHost) {
    // The tools are installed once for every cell (dl_cor_fw_install: none), to save time.
    const std::string d = f.dir, bin = d + "/bin";
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_EQ(symlink(k_dl_cor_fw.c_str(), (bin + "/dl_cor_fw").c_str()), 0);
    ASSERT_EQ(symlink(k_tool.c_str(), (bin + "/cfs_tool").c_str()), 0);
    const std::string stage = "dl_cor_fw_stage=true ",
                      activate = "dl_cor_fw_activate=true dl_cor_fw_staged_run=staged ";
    struct cell {
        std::string host, vars, drive; // drive: more members of the bay's one drive
        bool check, sends;
        std::string status, reason; // of the host's record; reason: a part of it
    };
    const cell cells[] = {
        {"update", "dl_cor_fw_metrics_dir=" + d, "", false, true, "changed", "1 drive(s)"},
        {"update-plan", "dl_cor_fw_plan_only=true", "", false, false, "planned", "plan only"},
        {"update-rehearse", "dl_cor_fw_rehearse=true", "", false, false, "changed", ""},
        {"update-check", "", "", true, false, "planned", "check mode"},
        {"stage", stage, "", false, true, "changed", ""},
        {"stage-plan", stage + "dl_cor_fw_plan_only=true", "", false, false, "planned", ""},
        {"stage-rehearse", stage + "dl_cor_fw_rehearse=true", "", false, false, "changed", ""},
        {"stage-check", stage, "", true, false, "planned", ""},
        {"activate", activate, "", false, true, "changed", "1 drive(s) activated"},
        {"activate-plan", activate + "dl_cor_fw_plan_only=true", "", false, false, "planned",
         "nothing activated (plan only)"},
        {"activate-rehearse", activate + "dl_cor_fw_rehearse=true", "", false, false, "changed",
         ""},
        {"activate-check", activate, "", true, false, "planned", "(check mode)"},
        {"unverified", "",
         R"(, "faults": [{"on": "identify", "index": 3, "kind": "errno", "errno": 5}])", false,
         true, "failed", "/dev/sg0 unverified"},
        {"gated", "host_mdstat=" + d + "/mdstat dl_cor_fw_gate_command='echo rebuilding; false'",
         "", false, false, "failed",
         "before any drive was touched: md1 is degraded [3/2] [_UU]; the gate command ended "
         "with status 1: rebuilding"},
        {"gated-after",
         "dl_cor_fw_gate_command='test ! -e " + d + "/gated-after/work/out/after.listing'", "",
         false, true, "failed", "failed once the drives were done"},
    };
    write_file(d + "/mdstat", "md1 : active raid5 sdc[2] sdb[1] sda[0](F)\n"
                              "      2095104 blocks super 1.2 level 5 [3/2] [_UU]\n");
    std::string inventory[2] = {"[dl_cor_fw_fleet]\n", "[dl_cor_fw_fleet]\n"};
    for (const cell &c : cells) {
        const std::string hd = d + "/" + c.host;
        ASSERT_EQ(mkdir(hd.c_str(), 0755), 0);
        write_file(hd + "/bay.json", R"({"trace": "bay.trace", "drives": [{"node": "/dev/sg0",
            "type": "sata", "model": "QX2000A", "serial": "QX01", "revision": "A104")" +
                                         c.drive + "}]}");
        // Check mode stages nothing: the check cells use what their plan-only cells staged.
        bool activates = c.vars.starts_with(activate);
        std::string staged =
            c.check && !activates ? c.host.substr(0, c.host.find('-')) + "-plan" : c.host;
        inventory[c.check] += c.host + " ansible_connection=local bay=" + hd +
                              "/bay.json dl_cor_fw_bin_dir=" + bin + " dl_cor_fw_work_dir=" + d +
                              "/" + staged + "/work " + c.vars + "\n";
        if (activates) {
            // Staged beforehand (the bay with the rehearsal's copy) with records where the
            // staging rollout (or its rehearsal) would have left them.
            bool rehearsal = c.host.ends_with("rehearse");
            std::string rec =
                d + "/results/" + (rehearsal ? "rehearsal-" : "") + "staged/" + c.host;
            ASSERT_EQ(run_command({"mkdir", "-p", rec + "/rehearsal"}).status, 0);
            std::string bay = rehearsal ? rec + "/rehearsal/bay.json" : hd + "/bay.json";
            write_file(bay, read_file(hd + "/bay.json"));
            RunSpec staging;
            staging.argv = {f.sgsim, "run",          bay,       "--",       k_dl_cor_fw,
                            "-c",    d + "/map.cfs", "--stage", "--record", rec + "/run.jsonl"};
            staging.env = {"SGSIM_TRACE=/dev/null"};
            staging.cwd = d + "/images";
            ASSERT_EQ(run_command(staging).status, 0);
        }
    }
    for (int check = 0; check < 2; ++check) {
        write_file(d + "/matrix.ini", inventory[check]);
        std::vector<std::string> args = {
            "-e", "dl_cor_fw_run_id=matrix", "-e", "dl_cor_fw_install=none",
            "-e", "fleet_serial=100%",       "-e", "fleet_max_fail_percentage=100"};
        if (check) {
            args.push_back("--check");
        }
        RunResult r = playbook(f, args, d + "/matrix.ini");
        EXPECT_EQ(r.status, check ? 0 : 2) << r.out << r.err;
    }
    for (const cell &c : cells) {
        bool rehearsal = c.host.ends_with("rehearse");
        const std::string results = d + "/results/" + (rehearsal ? "rehearsal-" : "") + "matrix/";
        nlohmann::json record = nlohmann::json::parse(read_file(results + c.host + "/record.json"));
        EXPECT_EQ(record.value("status", ""), c.status) << c.host;
        EXPECT_NE(record.value("reason", "").find(c.reason), std::string::npos)
            << c.host << ": " << record.value("reason", "");
        EXPECT_EQ(sent(f, d + "/" + c.host + "/bay.trace") > 0, c.sends) << c.host;
        if (rehearsal) {
            EXPECT_GT(sent(f, results + c.host + "/rehearsal/out/bay.trace"), 0) << c.host;
        }
    }
    std::string metrics = read_file(d + "/dl_cor_fw.prom");
    EXPECT_NE(metrics.find("dl_cor_fw_update_outcome{device=\"/dev/sg0\",serial=\"QX01\","
                           "outcome=\"updated\"} 1\n"),
              std::string::npos)
        << metrics;
    std::string promtool = find_program("promtool");
    if (!promtool.empty()) {
        RunResult lint =
            run_command({"sh", "-c", promtool + " check metrics < " + d + "/dl_cor_fw.prom"});
        EXPECT_EQ(lint.status, 0) << lint.out << lint.err;
    }
}

} // namespace

#endif
