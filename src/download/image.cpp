#include "download/image.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

FilePtr open_image(const char *path, const char **reason) {
    UniqueFd fd(open(path, O_RDONLY | O_NONBLOCK));
    if (!fd) {
        return nullptr;
    }
    struct stat st;
    if (fstat(fd.get(), &st) != 0) {
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        *reason = "Not a regular file";
        return nullptr;
    }
    FilePtr image(fdopen(fd.get(), "rb"));
    if (image) {
        fd.release();
    }
    return image;
}

long long measure_stream(FILE *image) {
    if (fseeko(image, 0, SEEK_END) != 0) {
        return -1;
    }
    off_t end = ftello(image);
    if (end < 0 || fseeko(image, 0, SEEK_SET) != 0) {
        return -1;
    }
    return end;
}

long long measure_image_file(const char *path, std::string *why) {
    const char *reason = nullptr;
    FilePtr image = open_image(path, &reason);
    long long length = -1;
    if (!image) {
        *why = reason != nullptr ? reason : strerror(errno);
    } else if ((length = measure_stream(image.get())) < 0) {
        *why = std::string("the image cannot be measured: ") + strerror(errno);
    }
    return length;
}

std::string sha256_hex(const uint8_t *data, size_t size) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    if (EVP_Digest(data, size, md, &md_len, EVP_sha256(), nullptr) != 1) {
        return "";
    }
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < md_len; ++i) {
        snprintf(pair, sizeof pair, "%02x", md[i]);
        hex += pair;
    }
    return hex;
}
