// The complex element of both modules and its arithmetic; velqa::CuComplex and
// quorra::dravik::CuComplex are names for it.
// Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#pragma once

#include <cuda_runtime.h>

namespace quorra {

// Byte-compatible with numpy complex64 (float) and complex128 (double). Aligned to its own
// size, like the platform's float2 and double2, so kernels move an element with one 8- or
// 16-byte access instead of two scalar ones.
template <typename T>
struct alignas(2 * sizeof(T)) CuComplex {
    T re;
    T im;
};

static_assert(sizeof(CuComplex<float>) == 8 && sizeof(CuComplex<double>) == 16, "CuComplex must be two packed T");
static_assert(alignof(CuComplex<float>) == 8 && alignof(CuComplex<double>) == 16, "CuComplex is aligned to its size");

template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> make_complex(T re, T im) {
    return CuComplex<T>{re, im};
}
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> operator+(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re + b.re, a.im + b.im};
}
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> operator-(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re - b.re, a.im - b.im};
}
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> operator*(CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re};
}
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> operator*(T s, CuComplex<T> a) {
    return CuComplex<T>{s * a.re, s * a.im};
}
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> conj(CuComplex<T> a) {
    return CuComplex<T>{a.re, -a.im};
}
template <typename T>
__host__ __device__ __forceinline__ T norm2(CuComplex<T> a) {
    return a.re * a.re + a.im * a.im;
}
// acc + a * b, the inner step of every small matrix product.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> mul_add(CuComplex<T> acc, CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{acc.re + a.re * b.re - a.im * b.im, acc.im + a.re * b.im + a.im * b.re};
}
// acc + a * conj(b): the right-hand factor of rho U^dagger.
template <typename T>
__host__ __device__ __forceinline__ CuComplex<T> mul_add_conj(CuComplex<T> acc, CuComplex<T> a, CuComplex<T> b) {
    return CuComplex<T>{acc.re + a.re * b.re + a.im * b.im, acc.im + a.im * b.re - a.re * b.im};
}

}  // namespace quorra
