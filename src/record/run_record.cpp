#include "record/run_record.h"

#include "base/error_output.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <syslog.h>
#include <unistd.h>

namespace {

void report_write_failure(RunRecord *record) {
    print_error("Could not write record file %s: %s\n", record->path, strerror(errno));
    record->failed = true;
}

} // namespace

RunRecord::~RunRecord() {
    if (fd >= 0) {
        close(fd);
    }
}

int open_run_record(const char *path, const std::string &tool_version, RunRecord *record) {
    if (path == nullptr) {
        return 0;
    }
    record->path = path;
    std::string why;
    record->fd = open_record_file(record->path, &why);
    if (record->fd < 0) {
        print_error("Could not open record file %s: %s\n", record->path, why.c_str());
        return -1;
    }
    char host[HOST_NAME_MAX + 1] = {};
    if (gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    record->stamp.host = host;
    record->stamp.tool_version = tool_version;
    return 0;
}

int write_device_record(RunRecord *record, const DeviceRecord &r) {
    if (record->fd < 0 || record->failed) {
        return 0;
    }
    if (append_record_line(record->fd, device_record_line(record->stamp, time(nullptr), r)) < 0) {
        report_write_failure(record);
        return -1;
    }
    ++record->devices;
    return 0;
}

int finish_run_record(RunRecord *record, int status) {
    if (record->fd < 0) {
        return status;
    }
    if (!record->failed &&
        append_record_line(record->fd, run_record_line(record->stamp, time(nullptr),
                                                       record->devices, status)) < 0) {
        report_write_failure(record);
    }
    // Closed here, not at exit: a run that dies of a stop signal leaves no descriptor behind,
    // and a write that only fails on close (a full network file system) is still reported.
    int fd = record->fd;
    record->fd = -1;
    if (close(fd) != 0 && !record->failed) {
        report_write_failure(record);
    }
    return record->failed && status == 0 ? 1 : status;
}

void log_download_attempt(const DeviceRecord &r) {
    // Opened and closed around the one line, so that the run holds no log descriptor while
    // it works on a drive.
    openlog("dl_cor_fw", LOG_PID, LOG_USER);
    syslog(outcome_is_success(r.outcome) ? LOG_NOTICE : LOG_ERR, "%s", audit_message(r).c_str());
    closelog();
}
