#include "sg/diag.h"

#include "sg/scsi_names.h"

#include <cstdio>
#include <ctime>

unsigned low32(const void *p) {
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

void print_scsi_status(uint8_t masked_status) {
    const char *name = scsi_status_debug_name(masked_status);
    if (name != nullptr) {
        puts(name);
    }
}

void print_sense_key(uint8_t sense_key, uint8_t asc, uint8_t ascq) {
    unsigned key = sense_key & 0x0F;
    const char *name = sense_key_debug_name(static_cast<uint8_t>(key));
    if (name != nullptr) {
        puts(name);
    } else {
        printf("UNKNOWN SENSE KEY 0x%x\n", key);
    }
    print_asc_ascq(asc, ascq);
}

void print_asc_ascq(uint8_t asc, uint8_t ascq) {
    printf("ACQ: 0x%x\tASCQ: 0x%x\n", asc, ascq);
    const char *name = asc_ascq_debug_name(asc, ascq);
    if (name != nullptr) {
        puts(name);
    }
}

void dump_sense_bytes(const uint8_t *bytes, int count) {
    puts(" OFFSET\tVALUE");
    for (int i = 0; i < count; ++i) {
        printf(" [0x%x]\t0x%x\n", static_cast<unsigned>(i), bytes[i]);
    }
}

void print_io_hdr(const sg_io_hdr_t *hdr) {
    time_t now = time(nullptr);
    printf("\n%s: %s---------------------------------\n", "print_io_hdr", ctime(&now));
    printf("type int interface_id %d\n", hdr->interface_id);
    printf("type int  dxfer_direction %d\n", hdr->dxfer_direction);
    printf("type unsigned char cmd_len 0x%x\n", hdr->cmd_len);
    printf("type unsigned char mx_sb_len 0x%x\n", hdr->mx_sb_len);
    printf("type unsigned short iovec_count 0x%x\n", hdr->iovec_count);
    printf("type unsigned int dxfer_len %d\n", static_cast<int>(hdr->dxfer_len));
    printf("type void * dxferp 0x%x\n", low32(hdr->dxferp));
    printf("type unsigned char * cmdp 0x%x\n", low32(hdr->cmdp));
    printf("type unsigned char * sbp 0x%x\n", low32(hdr->sbp));
    printf("type unsigned int timeout %d\n", static_cast<int>(hdr->timeout));
    printf("type unsigned int flags 0x%x\n", hdr->flags);
    printf("type int pack_id %d\n", hdr->pack_id);
    printf("type void * usr_ptr 0x%x\n", low32(hdr->usr_ptr));
    printf("type unsigned char status 0x%x\n", hdr->status);
    printf("type unsigned char masked_status 0x%x\n", hdr->masked_status);
    printf("type unsigned char msg_status 0x%x\n", hdr->msg_status);
    printf("type unsigned char sb_len_wr 0x%x\n", hdr->sb_len_wr);
    printf("type unsigned short host_status 0x%x\n", hdr->host_status);
    printf("type unsigned short driver_status 0x%x\n", hdr->driver_status);
    printf("type int resid %d\n", hdr->resid);
    printf("type unsigned int duration %d\n", static_cast<int>(hdr->duration));
    printf("type unsigned int info 0x%x\n", hdr->info);
    puts("-----------------------------------------");
}
