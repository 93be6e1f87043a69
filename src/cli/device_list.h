// The device list: the -d paths as given, or every "sg" entry of /dev in byte order.
#pragma once

#include "base/holders.h"

#include <dirent.h>
#include <vector>

// scandir filter: keeps every entry whose name begins with "sg". Returns 1 to keep, else 0.
int is_sg_entry(const struct dirent *entry);

// Appends dir/<name> for every "sg" entry of dir, in alphasort order.
// Returns 0, or -1 after perror ("scandir", "realloc" or "malloc").
int scan_device_dir(const char *dir, std::vector<OwnedText> *paths);

// Leaves a non-empty list as it is; fills an empty one from /dev.
// Returns 0, or -1 after reporting why (the run then ends with status 1).
int build_device_list(std::vector<OwnedText> *paths);
