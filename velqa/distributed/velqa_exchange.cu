// Swap-round pack and unpack launchers: argument checks, then one 256-thread block per 256
// items. Read by nvcc (cuda build) and by g++ against the host stand-in (host build).
#include <stdexcept>

#include "distributed/velqa_exchange.cuh"
#include "distributed/velqa_exchange_kernels.cuh"
#include "gates/velqa_index_bits.cuh"
#include "quorra_launch.cuh"

namespace velqa {

namespace {

constexpr uint32_t kExchangeBlock = 256;

void check_exchange_args(const void* slice, const void* buffer, uint64_t fixed_mask, uint64_t fixed_value) {
    if (slice == nullptr || buffer == nullptr) {
        throw std::invalid_argument("exchange buffers must not be null");
    }
    if ((fixed_value & ~fixed_mask) != 0) {
        throw std::invalid_argument("exchange pattern must lie under its mask");
    }
}

// One launch of either direction; `slice` and `buffer` go to the kernel as its first two
// arguments, in the kernel's own order.
template <typename Kernel, typename Slice, typename Buffer>
void launch_exchange(Kernel kernel, const char* name, Slice slice, Buffer buffer, uint64_t fixed_mask,
                     uint64_t fixed_value, uint64_t start, uint64_t count, cudaStream_t stream) {
    check_exchange_args(slice, buffer, fixed_mask, fixed_value);
    if (count == 0) {
        return;
    }
    quorra::launch_kernel(kernel, dim3(grid_blocks(count, kExchangeBlock)), dim3(kExchangeBlock), 0, stream, slice,
                          buffer, fixed_mask, fixed_value, start, count);
    check_launch(name);
}

}  // namespace

template <typename T>
void launch_exchange_pack(const CuComplex<T>* slice, CuComplex<T>* buffer, uint64_t fixed_mask, uint64_t fixed_value,
                          uint64_t start, uint64_t count, cudaStream_t stream) {
    launch_exchange(exchange_pack_kernel<T>, "exchange_pack", slice, buffer, fixed_mask, fixed_value, start, count,
                    stream);
}

template <typename T>
void launch_exchange_unpack(CuComplex<T>* slice, const CuComplex<T>* buffer, uint64_t fixed_mask, uint64_t fixed_value,
                            uint64_t start, uint64_t count, cudaStream_t stream) {
    launch_exchange(exchange_unpack_kernel<T>, "exchange_unpack", slice, buffer, fixed_mask, fixed_value, start, count,
                    stream);
}

template void launch_exchange_pack<float>(const CuComplex<float>*, CuComplex<float>*, uint64_t, uint64_t, uint64_t,
                                          uint64_t, cudaStream_t);
template void launch_exchange_pack<double>(const CuComplex<double>*, CuComplex<double>*, uint64_t, uint64_t, uint64_t,
                                           uint64_t, cudaStream_t);
template void launch_exchange_unpack<float>(CuComplex<float>*, const CuComplex<float>*, uint64_t, uint64_t, uint64_t,
                                            uint64_t, cudaStream_t);
template void launch_exchange_unpack<double>(CuComplex<double>*, const CuComplex<double>*, uint64_t, uint64_t, uint64_t,
                                             uint64_t, cudaStream_t);

}  // namespace velqa
