// Writes the sample files the virtual build of the application offers for
// its uploads: a firmware image (a 64-byte header and 1 MiB of stand-in
// payload) and a 2 MiB airport database. Their bytes mean nothing to a real
// unit; they only give the uploads something to send.
//   efis_make_samples OUTPUT_DIR

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../../EFIS_shared/firmware.h"

namespace {

bool write_file(const std::string& path, const std::vector<unsigned char>& head, size_t payload, unsigned seed)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = head.empty() || std::fwrite(head.data(), 1, head.size(), f) == head.size();
    std::vector<unsigned char> block(65536);
    unsigned x = seed;
    for (size_t done = 0; ok && done < payload;) {
        const size_t n = std::min(block.size(), payload - done);
        for (size_t i = 0; i < n; ++i) {
            x = x * 1103515245u + 12345u;
            block[i] = static_cast<unsigned char>(x >> 16);
        }
        ok = std::fwrite(block.data(), 1, n, f) == n;
        done += n;
    }
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    const size_t payload = 1024 * 1024;
    firmware_header_t h;
    std::memset(&h, 0, sizeof h);
    h.magic = 0x57464B53;  // "SKFW"
    h.version = 0x00010000;
    h.total_size = uint32_t(sizeof h + payload);
    h.plaintext_size = uint32_t(payload);
    h.encrypted_size = uint32_t(payload);
    h.offset = sizeof h;
    std::vector<unsigned char> head(sizeof h);
    std::memcpy(head.data(), &h, sizeof h);
    if (!write_file(dir + "/sample-firmware.bin", head, payload, 1) ||
        !write_file(dir + "/sample-airports.db", {}, 2 * 1024 * 1024, 2)) {
        std::perror("efis_make_samples");
        return 1;
    }
    return 0;
}
