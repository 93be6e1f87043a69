// The image file: opened without waiting and only when it is a regular file, measured, and
// read whole into one buffer that the senders point into.
#pragma once

#include "base/holders.h"

#include <cstdint>
#include <cstdio>
#include <string>

// Opens the image at path for reading in binary mode. The open does not wait (a FIFO without
// a writer would hold the run with the drive open), and only a regular file is taken.
// Returns the stream, or null with errno set, or with *reason set for a file of another kind
// ("Not a regular file").
FilePtr open_image(const char *path, const char **reason);

// Returns the length of the stream from its end position and rewinds it, or -1 (errno set)
// when the stream cannot be measured (a pipe, say).
long long measure_stream(FILE *image);

// Measures the image file at path as the download step opens it, reading none of it.
// Returns its length, or -1 with *why set.
long long measure_image_file(const char *path, std::string *why);

// The SHA-256 of size bytes at data in lower-case hex, or empty when the digest could not be
// made.
std::string sha256_hex(const uint8_t *data, size_t size);
