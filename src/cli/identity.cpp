#include "cli/identity.h"

#include "cli/options.h"
#include "listing/listing.h"
#include "sg/identify.h"
#include "sg/scsi_pages.h"

#include <cstdio>
#include <cstring>

int identify_device(int fd, const char *path, DeviceIdentity *id) {
    uint8_t inq[k_inquiry_buf_len] = {};
    std::memset(id, 0, sizeof *id);
    if (send_inq(fd, inq, k_inquiry_buf_len, 0) < 0) {
        fputs(format_listing_stop_line(LISTING_STOP_INQUIRY, path).c_str(), stdout);
        return -1;
    }
    fill_standard_identity(id, inq);
    if (send_inq(fd, inq, k_inquiry_buf_len, VPD_UNIT_SERIAL) < 0) {
        fputs(format_listing_stop_line(LISTING_STOP_VPD, path).c_str(), stdout);
        return -1;
    }
    fill_serial(id, inq, sizeof inq);
    // A drive that is not ATA, or whose full strings cannot be read, keeps the INQUIRY
    // product and revision in their place.
    id->identity_complete = true;
    // The IDENTIFY serial number comes from the answer that gave the model number.
    if (get_full_mn(fd, id->full_model, sizeof id->full_model, id->is_ata, id->identify) < 0) {
        std::memcpy(id->full_model, id->product, sizeof id->product);
        id->identity_complete = false;
    } else {
        extract_ata_serial(id->identify, id->ata_serial);
    }
    id->full_fw_read = get_full_fw(fd, id->full_fw, sizeof id->full_fw, id->is_ata) >= 0;
    if (!id->full_fw_read) {
        std::memcpy(id->full_fw, id->revision, sizeof id->revision);
        id->identity_complete = false;
    }
    return 0;
}

void fill_standard_identity(DeviceIdentity *id, const uint8_t *inquiry) {
    StandardInquiry s = parse_standard_inquiry(inquiry);
    std::memcpy(id->vendor, s.vendor, sizeof id->vendor);
    std::memcpy(id->product, s.product, sizeof id->product);
    id->product[std::strcspn(id->product, " \t")] = '\0';
    std::memcpy(id->revision, s.revision, sizeof id->revision);
    id->is_ata = std::memcmp(s.vendor, "ATA", 3) == 0;
}

void fill_serial(DeviceIdentity *id, const uint8_t *page, size_t len) {
    UnitSerial u = parse_unit_serial(page, len);
    std::memset(id->serial, 0, sizeof id->serial);
    std::memset(id->full_serial, 0, sizeof id->full_serial);
    u.first8.copy(id->serial, sizeof id->serial - 1);
    u.whole.copy(id->full_serial, sizeof id->full_serial - 1);
}

std::string listing_line(const DeviceIdentity &id, const char *path, uint8_t list_mode,
                         int32_t tmc_code) {
    bool full = (list_mode & k_list_extended) != 0 && tmc_code == k_tmc_full_fw;
    ListingLine columns;
    columns.vendor = id.vendor;
    columns.device = path;
    columns.model = id.full_model;
    columns.serial.assign(id.serial, strnlen(id.serial, sizeof id.serial));
    columns.firmware = full ? id.full_fw : id.revision;
    return format_listing_line(columns);
}

void record_identity(DeviceRecord *r, const DeviceIdentity &id) {
    r->identified = true;
    r->vendor = id.vendor;
    r->vendor.erase(r->vendor.find_last_not_of(' ') + 1);
    r->model = id.full_model;
    r->serial = id.full_serial;
    // An ATA drive whose IDENTIFY DEVICE was not answered has no IDENTIFY serial.
    if (id.is_ata && id.ata_serial[0] != '\0') {
        r->ata_serial = id.ata_serial;
    }
    if (id.wwn[0] != '\0') {
        r->wwn = id.wwn;
    }
    r->revision_before = id.full_fw;
    r->identity_complete = id.identity_complete;
}
