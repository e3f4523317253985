// Host stand-in for cuComplex.h: the cuBLAS complex types.
#pragma once

#include <cuda_runtime.h>

typedef float2 cuFloatComplex;
typedef double2 cuDoubleComplex;
typedef cuFloatComplex cuComplex;
