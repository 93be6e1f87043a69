#include "download/methods.h"

#include <cstdio>

DownloadMethod method_for_goal(DownloadSender sender, DownloadGoal goal, bool segmented) {
    for (const DownloadMethod &m : k_download_methods) {
        if (m.sender == sender && m.goal == goal &&
            (goal != DownloadGoal::update || m.segmented == segmented)) {
            return m;
        }
    }
    // Every sender has a row for every goal a run asks for.
    return method_for_code(sender, 0);
}

DownloadMethod method_for_code(DownloadSender sender, uint8_t code) {
    for (const DownloadMethod &m : k_download_methods) {
        if (m.sender == sender && m.code == code) {
            return m;
        }
    }
    return {sender, code, DownloadGoal::other, false, Segmenting::whole, true, 0};
}

MethodChoice choose_method(ForcedMethod method, bool is_ata) {
    switch (method) {
    case METHOD_WRITE_BUFFER:
        if (is_ata) {
            return {SENDER_WRITE_BUFFER,
                    2,
                    {"WARNING: Option forces WRITE BUFFER CMD method on a ATA drive",
                     "Force write buffer command"}};
        }
        return {SENDER_WRITE_BUFFER, 1, {"Force write buffer command", nullptr}};
    case METHOD_ATA_PASSTHROUGH:
        if (!is_ata) {
            return {SENDER_ATA_PASSTHROUGH,
                    2,
                    {"WARNING: Option forces ATA PASSTHROUGH method on a non ATA drive",
                     "Force ata passthrough"}};
        }
        return {SENDER_ATA_PASSTHROUGH, 1, {"Force ata passthrough", nullptr}};
    case METHOD_AUTO:
    default:
        return {is_ata ? SENDER_ATA_PASSTHROUGH : SENDER_WRITE_BUFFER, 0, {nullptr, nullptr}};
    }
}

std::string method_name(const DownloadMethod &m) {
    char name[32];
    snprintf(name, sizeof name, "%s %02Xh",
             m.sender == SENDER_ATA_PASSTHROUGH ? "DOWNLOAD MICROCODE" : "WRITE BUFFER", m.code);
    return name;
}
