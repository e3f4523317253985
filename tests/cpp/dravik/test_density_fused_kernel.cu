// The fused density kernel against an independent reference: every tile width the launcher
// accepts on the whole matrix, and blocks that loop over tiles beyond the grid cap.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <complex>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "kernels/density_sparsesharemem.cuh"
#if QUORRA_HOST_BUILD
#include "hostcuda_block_select.h"
#endif
#include "state/dravik_device_state.cuh"

namespace {

using quorra::dravik::DensityGateKind;

// An independent reference for fused records: square matrices of any side, operators built
// element by element, channels as the sums of their textbook Kraus matrices.
struct Square {
    explicit Square(size_t side_) : side(side_), a(side_ * side_) {}
    std::complex<double>& operator()(size_t r, size_t c) { return a[r * side + c]; }
    std::complex<double> operator()(size_t r, size_t c) const { return a[r * side + c]; }
    size_t side;
    std::vector<std::complex<double>> a;
};

Square product(const Square& x, const Square& y) {
    Square out(x.side);
    for (size_t r = 0; r < x.side; ++r) {
        for (size_t l = 0; l < x.side; ++l) {
            for (size_t c = 0; c < x.side; ++c) {
                out(r, c) += x(r, l) * y(l, c);
            }
        }
    }
    return out;
}

Square conjugated(const Square& u, const Square& rho) {
    Square adjoint(u.side);
    for (size_t r = 0; r < u.side; ++r) {
        for (size_t c = 0; c < u.side; ++c) {
            adjoint(r, c) = std::conj(u(c, r));
        }
    }
    return product(product(u, rho), adjoint);
}

using Two = std::array<std::complex<double>, 4>;

// The 2x2 matrix m on bit `bit` where (x & mask) == values, the identity elsewhere.
Square embed(const Two& m, size_t side, uint64_t bit, uint64_t mask, uint64_t values) {
    Square out(side);
    for (size_t x = 0; x < side; ++x) {
        if ((x & mask) != values) {
            out(x, x) = 1.0;
            continue;
        }
        const size_t row = (x & bit) != 0 ? 2 : 0;
        out(x, x & ~bit) = m[row];
        out(x, x | bit) = m[row + 1];
    }
    return out;
}

std::vector<Two> textbook_kraus(int32_t kind, double p) {
    const std::complex<double> i(0, 1);
    const double keep = std::sqrt(1 - p), move = std::sqrt(p);
    switch (kind) {
        case 1:  // bit flip
            return {{keep, 0.0, 0.0, keep}, {0.0, move, move, 0.0}};
        case 2:  // phase flip
            return {{keep, 0.0, 0.0, keep}, {move, 0.0, 0.0, -move}};
        case 3: {  // depolarizing
            const double stay = std::sqrt(1 - 0.75 * p), each = std::sqrt(p / 4);
            return {{stay, 0.0, 0.0, stay},
                    {0.0, each, each, 0.0},
                    {0.0, -i * each, i * each, 0.0},
                    {each, 0.0, 0.0, -each}};
        }
        case 4:  // amplitude damping
            return {{1.0, 0.0, 0.0, keep}, {0.0, move, 0.0, 0.0}};
        default:  // phase damping: coherences scaled by 1 - p
            return {{keep, 0.0, 0.0, keep}, {move, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0, move}};
    }
}

// The records in order on rho, local bit b standing for bit bit_of[b] of rho's indices.
Square apply_records(Square rho, const std::vector<quorra::dravik::DeviceDensityGate<double>>& gates,
                     const std::vector<uint64_t>& bit_of) {
    const auto spread = [&](int32_t local) {
        uint64_t out = 0;
        for (size_t b = 0; b < bit_of.size(); ++b) {
            out |= ((local >> b) & 1) != 0 ? bit_of[b] : 0;
        }
        return out;
    };
    const auto value = [](quorra::dravik::CuComplex<double> z) { return std::complex<double>(z.re, z.im); };
    for (const auto& g : gates) {
        const uint64_t bit = bit_of[static_cast<size_t>(g.target)];
        const uint64_t mask = spread(g.control_mask), values = spread(g.control_values);
        switch (static_cast<DensityGateKind>(g.kind)) {
            case DensityGateKind::Matrix:
                rho = conjugated(embed({value(g.matrix[0]), value(g.matrix[1]), value(g.matrix[2]), value(g.matrix[3])},
                                       rho.side, bit, mask, values),
                                 rho);
                break;
            case DensityGateKind::Diagonal:
                rho = conjugated(embed({value(g.diag0), 0.0, 0.0, value(g.diag1)}, rho.side, bit, mask, values), rho);
                break;
            case DensityGateKind::Flip:
                rho = conjugated(embed({0.0, 1.0, 1.0, 0.0}, rho.side, bit, mask, values), rho);
                break;
            case DensityGateKind::Channel: {
                Square sum(rho.side);
                for (const Two& k : textbook_kraus(g.channel_kind, g.channel_parameter)) {
                    const Square term = conjugated(embed(k, rho.side, bit, 0, 0), rho);
                    for (size_t e = 0; e < sum.a.size(); ++e) {
                        sum.a[e] += term.a[e];
                    }
                }
                rho = sum;
                break;
            }
        }
    }
    return rho;
}

// Records of every kind on local bits below k: unitaries (some controlled), diagonals,
// controlled flips and all five channels, in an order that needs several cube runs.
std::vector<quorra::dravik::DeviceDensityGate<double>> mixed_records(int k, std::mt19937& rng) {
    std::uniform_real_distribution<double> angle(0, 6.28);
    std::uniform_int_distribution<int> pick(0, k - 1);
    std::vector<quorra::dravik::DeviceDensityGate<double>> gates;
    for (int r = 0; r < 4 * k + 6; ++r) {
        quorra::dravik::DeviceDensityGate<double> g;
        g.target = pick(rng);
        const int other = (g.target + 1 + pick(rng)) % k;
        const bool control = k > 1 && other != g.target && r % 3 == 0;
        g.control_mask = control ? 1 << other : 0;
        g.control_values = control && r % 2 == 0 ? g.control_mask : 0;
        const double theta = angle(rng), phi = angle(rng);
        switch (r % 4) {
            case 0:
                g.kind = static_cast<int32_t>(DensityGateKind::Matrix);
                g.matrix[0] = {std::cos(theta), 0};
                g.matrix[1] = {-std::sin(theta) * std::cos(phi), -std::sin(theta) * std::sin(phi)};
                g.matrix[2] = {std::sin(theta) * std::cos(phi), -std::sin(theta) * std::sin(phi)};
                g.matrix[3] = {std::cos(theta), 0};
                break;
            case 1:
                g.kind = static_cast<int32_t>(DensityGateKind::Diagonal);
                g.diag0 = {std::cos(theta), std::sin(theta)};
                g.diag1 = {std::cos(phi), -std::sin(phi)};
                break;
            case 2:
                g.kind = static_cast<int32_t>(DensityGateKind::Flip);
                g.flip_mask = 1 << g.target;
                break;
            default:
                g.kind = static_cast<int32_t>(DensityGateKind::Channel);
                g.control_mask = g.control_values = 0;
                g.channel_kind = 1 + (r / 4) % 5;
                g.channel_parameter = 0.1 + 0.2 * ((r / 4) % 4);
                break;
        }
        gates.push_back(g);
    }
    return gates;
}

template <typename T>
T* upload_records(const std::vector<quorra::dravik::DeviceDensityGate<double>>& gates) {
    T* device = nullptr;
    EXPECT_EQ(cudaMalloc(&device, gates.size() * sizeof(T)), cudaSuccess);
    EXPECT_EQ(cudaMemcpy(device, gates.data(), gates.size() * sizeof(T), cudaMemcpyHostToDevice), cudaSuccess);
    return device;
}

// Every tile width the launcher accepts, one to five active qubits spread over a register of
// k + 2 qubits: the whole matrix against the reference.
class DensityFusedKernelWidths : public ::testing::TestWithParam<int> {};

TEST_P(DensityFusedKernelWidths, WholeMatrixMatchesTheReference) {
    using Gate = quorra::dravik::DeviceDensityGate<double>;
    using Complex = quorra::dravik::CuComplex<double>;
    const int k = GetParam();
    const int n = k + 2;
    const size_t d = size_t{1} << n;
    const uint64_t active = ((uint64_t{1} << n) - 1) & ~uint64_t{1} & ~(uint64_t{1} << (n - 2));  // not 0, n - 2
    std::vector<uint64_t> bit_of;
    for (uint64_t rest = active; rest != 0; rest &= rest - 1) {
        bit_of.push_back(rest & (~rest + 1));
    }
    std::mt19937 rng(static_cast<unsigned>(17 + k));
    std::uniform_real_distribution<double> uniform(-1, 1);
    Square rho(d);
    for (auto& z : rho.a) {
        z = {uniform(rng), uniform(rng)};
    }
    const std::vector<Gate> gates = mixed_records(k, rng);
    const Square expected = apply_records(rho, gates, bit_of);

    Complex* data = nullptr;
    ASSERT_EQ(cudaMalloc(&data, d * d * sizeof(Complex)), cudaSuccess);
    ASSERT_EQ(cudaMemcpy(data, rho.a.data(), d * d * sizeof(Complex), cudaMemcpyHostToDevice), cudaSuccess);
    Gate* device_gates = upload_records<Gate>(gates);
    quorra::dravik::launch_density_sparsesharemem<double>(static_cast<int64_t>(d), data, active, k, device_gates,
                                                          static_cast<int64_t>(gates.size()), cudaStream_t{});
    std::vector<std::complex<double>> got(d * d);
    ASSERT_EQ(cudaMemcpy(got.data(), data, d * d * sizeof(Complex), cudaMemcpyDeviceToHost), cudaSuccess);
    ASSERT_EQ(cudaFree(device_gates), cudaSuccess);
    ASSERT_EQ(cudaFree(data), cudaSuccess);
    for (size_t e = 0; e < got.size(); ++e) {
        ASSERT_NEAR(got[e].real(), expected.a[e].real(), 1e-12) << "element " << e;
        ASSERT_NEAR(got[e].imag(), expected.a[e].imag(), 1e-12) << "element " << e;
    }
}

INSTANTIATE_TEST_SUITE_P(OneToFive, DensityFusedKernelWidths, ::testing::Values(1, 2, 3, 4, 5));

#if QUORRA_HOST_BUILD

// 4^8 tiles on a grid capped at 65535 blocks: block 0 also takes the last tile, after a tile
// whose records run in several cube runs. Only blocks 0 and 65534 run; rho lives in address
// space that reads as zero, and a tile no block ran stays zero.
TEST(DensityFusedKernel, BlocksLoopOverTilesBeyondTheGridCap) {
    using Gate = quorra::dravik::DeviceDensityGate<double>;
    using Complex = quorra::dravik::CuComplex<double>;
    constexpr int64_t n = 12;
    constexpr uint64_t d = uint64_t{1} << n;
    constexpr uint64_t active = (uint64_t{1} << 1) | (uint64_t{1} << 4) | (uint64_t{1} << 7) | (uint64_t{1} << 11);
    hostcuda::SparseReservation memory(d * d * sizeof(Complex));
    ASSERT_TRUE(memory.valid());
    auto* data = static_cast<Complex*>(memory.data());
    const uint64_t inactive = active ^ (d - 1);
    const auto deposit = [](uint64_t value, uint64_t mask) {
        uint64_t out = 0;
        for (uint64_t rest = mask; rest != 0; rest &= rest - 1, value >>= 1) {
            out |= (value & 1) != 0 ? rest & (~rest + 1) : 0;
        }
        return out;
    };
    const auto element = [&](uint64_t t, uint64_t r, uint64_t col) -> Complex& {
        const uint64_t row = deposit(t >> (n - 4), inactive) | deposit(r, active);
        return data[row * d + (deposit(t & ((uint64_t{1} << (n - 4)) - 1), inactive) | deposit(col, active))];
    };
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> uniform(-1, 1);
    const std::vector<Gate> gates = mixed_records(4, rng);
    const std::vector<uint64_t> tiles = {0, 65534, 65535};
    std::vector<Square> expected;
    for (const uint64_t t : tiles) {
        Square rho(16);
        for (size_t r = 0; r < 16; ++r) {
            for (size_t col = 0; col < 16; ++col) {
                rho(r, col) = {uniform(rng), uniform(rng)};
                element(t, r, col) = Complex{rho(r, col).real(), rho(r, col).imag()};
            }
        }
        expected.push_back(apply_records(rho, gates, {1, 2, 4, 8}));
    }

    Gate* device_gates = upload_records<Gate>(gates);
    {
        hostcuda::BlockSelection selection({0, 65534});
        quorra::dravik::launch_density_sparsesharemem<double>(static_cast<int64_t>(d), data, active, 4, device_gates,
                                                              static_cast<int64_t>(gates.size()), cudaStream_t{});
        ASSERT_EQ(cudaDeviceSynchronize(), cudaSuccess);
        EXPECT_EQ(selection.blocks_run(), 2U);
    }
    ASSERT_EQ(cudaFree(device_gates), cudaSuccess);
    for (size_t index = 0; index < tiles.size(); ++index) {
        for (size_t r = 0; r < 16; ++r) {
            for (size_t col = 0; col < 16; ++col) {
                const Complex got = element(tiles[index], r, col);
                ASSERT_NEAR(got.re, expected[index](r, col).real(), 1e-12) << "tile " << tiles[index];
                ASSERT_NEAR(got.im, expected[index](r, col).imag(), 1e-12) << "tile " << tiles[index];
            }
        }
    }
    for (size_t r = 0; r < 16; ++r) {
        for (size_t col = 0; col < 16; ++col) {
            ASSERT_EQ(element(1, r, col).re, 0.0);
            ASSERT_EQ(element(1, r, col).im, 0.0);
        }
    }
}

#endif

}  // namespace
