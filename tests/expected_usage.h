// The usage text of dl_cor_fw, exactly as it must be printed; shared by the unit and the
// end-to-end tests of the command line.
#pragma once

#include <string>

inline const std::string k_usage = "usage:\n"
                                   "dl_cor_fw {-m <model_number> -f <fw_file> | -c <cfs_file>} [-d "
                                   "<sg_device>]\n"
                                   "dl_cor_fw -f <fw_file> -d <sg_device>\n"
                                   "\n"
                                   "Options:\n"
                                   "\t-i\tPRINT IDENT INFO\n"
                                   "\t-v\tPRINT VERSION AND EXIT (overrides all other arguments)\n"
                                   "Modes supported:\n"
                                   "\t-s\tSEGMENT SIZE (1 segment = 512 bytes)\n"
                                   "\t-p\tFORCE ATA PASSTHROUGH\n"
                                   "\t-w\tFORCE WRITE BUFFER CMD\n"
                                   "e.g:\n"
                                   "\tdl_cor_fw -s 64 -f test.lod -d /dev/sg0\n"
                                   "returns:\n"
                                   "\t0\t No error found\n"
                                   "\t1\t Fatal error in command line options\n"
                                   "\t2\t FW Download Failed\n"
                                   "\t3\t Invalid device\n";
