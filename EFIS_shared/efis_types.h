#ifndef EFIS_SHARED_EFIS_TYPES_H
#define EFIS_SHARED_EFIS_TYPES_H

struct Vec3_f_t {
    float x;
    float y;
    float z;
};

// Row-major: element [r][c] lies at 4 * (3r + c) bytes.
struct Matrix3_f_t {
    float matrix[3][3];
};

static_assert(sizeof(Vec3_f_t) == 12, "Vec3_f_t is 12 bytes");
static_assert(sizeof(Matrix3_f_t) == 36, "Matrix3_f_t is 36 bytes");

#endif
