#include "cli/dry_run.h"

#include "cli/drive_name.h"
#include "download/image.h"
#include "download/statements.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The reasons the run would send nothing: the image's own (length, emptiness, the method's
// limits) and what the drive states.
std::vector<std::string> dry_run_refusals(const DriveStatements &s, const DownloadPlan &p) {
    std::vector<std::string> out = check_download(s, p);
    std::string own = image_refusal(p);
    if (!own.empty()) {
        out.insert(out.begin(), own);
    }
    return out;
}

} // namespace

void dry_run_step(const RunOptions &opts, const DeviceIdentity &id, const char *path, int fd,
                  const char *image, RunState *state) {
    // Each line names the drive as well as its node, which may be another drive's by the
    // time the run is made.
    std::string named = drive_name_text(drive_name_of(id));
    const char *drive = named.c_str();
    const char *sep = named.empty() ? "" : "; drive ";
    std::string why;
    long long length = measure_image_file(image, &why);
    Refusal too_long = check_image_length(length);
    if (length < 0 || too_long.refused) {
        printf("%s: would not send %s: %s%s%s\n", path, image,
               length < 0 ? why.c_str() : too_long.reason, sep, drive);
        state->run_status = k_exit_download_failed;
        return;
    }
    DownloadSender sender = choose_method(forced_method(opts), id.is_ata).sender;
    DriveStatements s = read_drive_statements(fd, id.identify, sender, opts.stage);
    DownloadPlan p = plan_for_run(sender, opts.stage ? DownloadGoal::stage : DownloadGoal::update,
                                  opts.segment_count, s, static_cast<uint32_t>(length));
    std::string method = method_name(p.method);
    std::vector<std::string> refusals = dry_run_refusals(s, p);
    if (refusals.empty()) {
        std::string notes;
        for (const std::string &note : plan_notes(s, p)) {
            notes += "; " + note;
        }
        printf("%s: would send %s (%lld bytes) by %s %s%s%s%s\n", path, image, length,
               method.c_str(), plan_text(p).c_str(), notes.c_str(), sep, drive);
        return;
    }
    for (const std::string &line : refusals) {
        printf("%s: would not send %s by %s: %s%s%s\n", path, image, method.c_str(), line.c_str(),
               sep, drive);
    }
    state->run_status = k_exit_download_failed;
}
